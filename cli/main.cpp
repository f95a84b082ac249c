// korvel: runs SQL through a Korvel backend from the command line.
#include <unistd.h>

#include <iostream>
#include <vector>

#include "options.h"
#include "prompt.h"
#include "session.h"

namespace {

constexpr int kExitError = 1;
constexpr int kExitUsage = 2;

int runActions(korvel::cli::Session& session, const std::vector<korvel::cli::Action>& actions) {
  if (!actions.empty()) {
    for (const korvel::cli::Action& action : actions) session.run(action);
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

  int status = 0;
  try {
    std::unique_ptr<korvel::Korvel> client = korvel::Korvel::create(options.config);
    korvel::cli::Session session(*client, options.format, std::cout);
    status = runActions(session, options.actions);
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
