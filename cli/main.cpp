// korvel: runs SQL through a Korvel backend from the command line.
#include <unistd.h>

#include <iostream>
#include <vector>

#include "korvel/runloop.h"
#include "options.h"
#include "prompt.h"
#include "session.h"

namespace {

constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitWaitRanOut = 3;

int runActions(korvel::cli::Session& session, const korvel::cli::Options& options) {
  if (!options.actions.empty() || !options.listen.empty()) {
    for (const korvel::cli::Action& action : options.actions) session.run(action);
    return 0;
  }
  if (::isatty(STDIN_FILENO)) return korvel::cli::runPrompt(session);
  session.run({korvel::cli::ActionKind::File, "-"});
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  korvel::cli::Options options;
  try {
    options = korvel::cli::parseArguments(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const korvel::cli::UsageError& error) {
    std::cerr << "korvel: " << error.what() << '\n'
              << korvel::cli::usageText() << "Try 'korvel --help' for more.\n";
    return kExitUsage;
  }
  if (options.help) {
    std::cout << korvel::cli::helpText();
    return 0;
  }

  // Notifications that arrive with a statement's reply are handed to the
  // main thread's loop; this thread must be it, so that they are printed
  // when the wait runs the loop.
  korvel::RunLoop::setMainThread();

  int status = 0;
  try {
    std::unique_ptr<korvel::Korvel> client = korvel::Korvel::create(options.config);
    korvel::cli::Session session(*client, options.format, std::cout);
    // Listening first lets the wait see what the actions themselves send.
    if (!options.listen.empty()) session.listen(options.listen, options.count);
    status = runActions(session, options);
    if (status == 0 && !options.listen.empty() && !session.waitForNotifications(options.wait))
      status = kExitWaitRanOut;
  } catch (const std::exception& error) {
    std::cout.flush();
    std::cerr << korvel::cli::errorLine(error) << '\n';
    status = kExitError;
  }
  // A full disk or a closed pipe must not pass for success.
  if (!std::cout.flush()) {
    std::cerr << "korvel: cannot write the output\n";
    return kExitError;
  }
  return status;
}
