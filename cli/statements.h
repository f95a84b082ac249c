// Splitting SQL text into statements, and telling queries from statements.
//
// A ';' ends a statement only outside quotes and comments: '...', "...",
// `...`, $tag$...$tag$ (PostgreSQL dollar quotes), E'...' (backslash escapes),
// -- to the end of the line and /* ... */ (not nested, as SQLite reads it).
// A trigger body (CREATE [TEMP] TRIGGER ... BEGIN ...; END;) is one
// statement: inside it only a ';' that follows "; END" ends the statement.
//
// Thread-safety: a scanner belongs to one thread; the free functions are pure.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::cli {

// Cuts statements out of text that arrives in pieces (lines of a prompt, a
// file read in chunks). The text handed over need not end at a statement
// boundary; nothing is rescanned, so a long input costs linear time.
class StatementScanner {
 public:
  // backslashEscapes: a backslash escapes the next character inside '...'
  // and "..." too, as MySQL reads them.
  explicit StatementScanner(bool backslashEscapes = false) : backslashEscapes_(backslashEscapes) {}

  // Adds text to the input.
  void feed(std::string_view text);
  // Ends the input: the unterminated rest, unless blank, becomes the last
  // statement. Feeding after finish starts a new input.
  void finish();
  // The next complete statement, trimmed and without its ';', or nothing.
  // Statements that hold only white space and comments are dropped.
  std::optional<std::string> next();
  // True while part of a statement has been fed but not completed, or the
  // input stops inside a quote or comment (a prompt then asks for more).
  bool pending() const;

 private:
  enum class State { Normal, Single, Double, Backtick, LineComment, BlockComment, Dollar };
  void scan();
  bool scanNormal();  // false: needs more input to decide
  void scanQuoted(char quote, bool escapes);
  void scanToLineEnd();
  void scanBlockComment();
  void scanDollar();
  void noteToken(std::string token);
  void endStatement(std::size_t end);
  bool inTriggerBody() const;

  bool backslashEscapes_;
  bool finished_ = false;
  bool escapeString_ = false;  // the open '...' is an E'...' string
  std::string buffer_;
  std::size_t start_ = 0;  // where the current statement begins in buffer_
  std::size_t pos_ = 0;    // how far buffer_ has been scanned
  State state_ = State::Normal;
  std::string dollarTag_;
  // The last two tokens of the current statement, upper-cased words or
  // punctuation; enough to see "; END ;" in a trigger body.
  std::string lastToken_, tokenBefore_;
  bool sawBegin_ = false;
  std::deque<std::string> ready_;
};

// All statements of a complete text, in order (see StatementScanner).
std::vector<std::string> splitStatements(std::string_view text, bool backslashEscapes = false);

// True when the text holds nothing but white space and comments.
bool isBlankSQL(std::string_view text);

// True when the statement runs as a query: its first word, after white
// space, comments and opening parentheses, is SELECT, WITH, VALUES, SHOW,
// EXPLAIN, PRAGMA or TABLE in any case.
bool isQueryStatement(std::string_view statement);

}  // namespace korvel::cli
