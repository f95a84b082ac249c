#include "statements.h"

#include <algorithm>
#include <array>

namespace korvel::cli {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// Identifier characters, '$' included (PostgreSQL identifiers and SQLite
// parameters hold it) and every byte of a multi-byte UTF-8 character.
bool isWordChar(char c) {
  auto u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_' || u == '$' ||
         u >= 0x80;
}

bool isTagChar(char c, bool first) {
  auto u = static_cast<unsigned char>(c);
  bool letter = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_' || u >= 0x80;
  return letter || (!first && u >= '0' && u <= '9');
}

std::string upper(std::string_view word) {
  std::string out(word);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

// The position of the first character after white space and comments.
std::size_t skipBlank(std::string_view text, std::size_t pos) {
  while (pos < text.size()) {
    if (isSpace(text[pos])) {
      ++pos;
    } else if (text.substr(pos, 2) == "--") {
      std::size_t end = text.find('\n', pos);
      pos = end == std::string_view::npos ? text.size() : end + 1;
    } else if (text.substr(pos, 2) == "/*") {
      std::size_t end = text.find("*/", pos + 2);
      pos = end == std::string_view::npos ? text.size() : end + 2;
    } else {
      break;
    }
  }
  return pos;
}

// Up to `count` leading words, upper-cased; stops at the first character
// that is not part of a word.
std::vector<std::string> leadingWords(std::string_view text, std::size_t count) {
  std::vector<std::string> words;
  std::size_t pos = 0;
  while (words.size() < count) {
    pos = skipBlank(text, pos);
    std::size_t end = pos;
    while (end < text.size() && isWordChar(text[end])) ++end;
    if (end == pos) break;
    words.push_back(upper(text.substr(pos, end - pos)));
    pos = end;
  }
  return words;
}

std::string_view trimmed(std::string_view text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && isSpace(text[begin])) ++begin;
  while (end > begin && isSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

}  // namespace

void StatementScanner::feed(std::string_view text) {
  if (finished_) {
    finished_ = false;
    state_ = State::Normal;
  }
  if (start_ > 0) {
    buffer_.erase(0, start_);
    pos_ -= start_;
    start_ = 0;
  }
  buffer_.append(text);
  scan();
}

void StatementScanner::finish() {
  finished_ = true;
  scan();
  if (start_ < buffer_.size()) endStatement(buffer_.size());
  buffer_.clear();
  start_ = pos_ = 0;
  state_ = State::Normal;
  escapeString_ = false;
}

std::optional<std::string> StatementScanner::next() {
  if (ready_.empty()) return std::nullopt;
  std::string statement = std::move(ready_.front());
  ready_.pop_front();
  return statement;
}

bool StatementScanner::pending() const {
  return state_ != State::Normal || !isBlankSQL(std::string_view(buffer_).substr(start_));
}

void StatementScanner::scan() {
  while (pos_ < buffer_.size()) {
    State before = state_;
    std::size_t from = pos_;
    switch (state_) {
      case State::Normal:
        if (!scanNormal()) return;
        break;
      case State::Single: scanQuoted('\'', backslashEscapes_ || escapeString_); break;
      case State::Double: scanQuoted('"', backslashEscapes_); break;
      case State::Backtick: scanQuoted('`', false); break;
      case State::LineComment: scanToLineEnd(); break;
      case State::BlockComment: scanBlockComment(); break;
      case State::Dollar: scanDollar(); break;
    }
    if (state_ == before && pos_ == from) return;  // waiting for more input
  }
}

bool StatementScanner::scanNormal() {
  const std::size_t size = buffer_.size();
  const char c = buffer_[pos_];
  // Two-character openers need the next character, which may not have
  // arrived yet; at the end of the input there is none.
  auto nextIs = [&](char wanted, bool& unknown) {
    unknown = pos_ + 1 >= size && !finished_;
    return pos_ + 1 < size && buffer_[pos_ + 1] == wanted;
  };
  bool unknown = false;
  if (isSpace(c)) {
    ++pos_;
  } else if (c == '\'' || c == '"' || c == '`') {
    noteToken(std::string(1, c));
    state_ = c == '\'' ? State::Single : c == '"' ? State::Double : State::Backtick;
    ++pos_;
  } else if (c == '-' && (nextIs('-', unknown) || unknown)) {
    if (unknown) return false;
    state_ = State::LineComment;
    pos_ += 2;
  } else if (c == '/' && (nextIs('*', unknown) || unknown)) {
    if (unknown) return false;
    state_ = State::BlockComment;
    pos_ += 2;
  } else if (c == ';') {
    if (inTriggerBody() && !(lastToken_ == "END" && tokenBefore_ == ";")) {
      noteToken(";");
      ++pos_;
    } else {
      endStatement(pos_);
      pos_ = start_;
    }
  } else if (c == '$' || isWordChar(c)) {
    if (c == '$') {
      std::size_t end = pos_ + 1;
      while (end < size && isTagChar(buffer_[end], end == pos_ + 1)) ++end;
      if (end >= size && !finished_) return false;
      if (end < size && buffer_[end] == '$') {
        dollarTag_ = buffer_.substr(pos_, end + 1 - pos_);
        noteToken("$");
        state_ = State::Dollar;
        pos_ = end + 1;
        return true;
      }
    }
    std::size_t end = pos_;
    while (end < size && isWordChar(buffer_[end])) ++end;
    if (end >= size && !finished_) return false;
    std::string word = upper(std::string_view(buffer_).substr(pos_, end - pos_));
    if (word == "E" && end < size && buffer_[end] == '\'') escapeString_ = true;
    if (word == "BEGIN") sawBegin_ = true;
    noteToken(std::move(word));
    pos_ = end;
  } else {
    noteToken(std::string(1, c));
    ++pos_;
  }
  return true;
}

void StatementScanner::scanQuoted(char quote, bool escapes) {
  while (pos_ < buffer_.size()) {
    char c = buffer_[pos_];
    if (escapes && c == '\\') {
      if (pos_ + 1 >= buffer_.size() && !finished_) return;  // the escaped character is still to come
      pos_ = std::min(pos_ + 2, buffer_.size());
    } else if (c == quote) {
      // A doubled quote closes and reopens the string: the same for splitting.
      ++pos_;
      state_ = State::Normal;
      escapeString_ = false;
      return;
    } else {
      ++pos_;
    }
  }
}

void StatementScanner::scanToLineEnd() {
  std::size_t end = buffer_.find('\n', pos_);
  if (end == std::string::npos) {
    pos_ = buffer_.size();
  } else {
    pos_ = end + 1;
    state_ = State::Normal;
  }
}

void StatementScanner::scanBlockComment() {
  std::size_t end = buffer_.find("*/", pos_);
  if (end == std::string::npos) {
    // Keep a trailing '*' unscanned: its '/' may come with the next piece.
    bool maybeClosing = !finished_ && buffer_.back() == '*';
    pos_ = std::max(pos_, buffer_.size() - (maybeClosing ? 1 : 0));
  } else {
    pos_ = end + 2;
    state_ = State::Normal;
  }
}

void StatementScanner::scanDollar() {
  std::size_t end = buffer_.find(dollarTag_, pos_);
  if (end == std::string::npos) {
    std::size_t keep = finished_ ? 0 : dollarTag_.size() - 1;
    if (buffer_.size() > keep) pos_ = std::max(pos_, buffer_.size() - keep);
  } else {
    pos_ = end + dollarTag_.size();
    state_ = State::Normal;
  }
}

void StatementScanner::noteToken(std::string token) {
  tokenBefore_ = std::move(lastToken_);
  lastToken_ = std::move(token);
}

bool StatementScanner::inTriggerBody() const {
  if (!sawBegin_) return false;
  std::vector<std::string> words = leadingWords(std::string_view(buffer_).substr(start_, pos_ - start_), 3);
  if (words.size() < 2 || words[0] != "CREATE") return false;
  if (words[1] == "TRIGGER") return true;
  return words.size() == 3 && (words[1] == "TEMP" || words[1] == "TEMPORARY") && words[2] == "TRIGGER";
}

void StatementScanner::endStatement(std::size_t end) {
  std::string_view statement = trimmed(std::string_view(buffer_).substr(start_, end - start_));
  if (!isBlankSQL(statement)) ready_.emplace_back(statement);
  start_ = std::min(end + 1, buffer_.size());
  lastToken_.clear();
  tokenBefore_.clear();
  sawBegin_ = false;
  escapeString_ = false;
}

std::vector<std::string> splitStatements(std::string_view text, bool backslashEscapes) {
  StatementScanner scanner(backslashEscapes);
  scanner.feed(text);
  scanner.finish();
  std::vector<std::string> statements;
  while (auto statement = scanner.next()) statements.push_back(std::move(*statement));
  return statements;
}

bool isBlankSQL(std::string_view text) { return skipBlank(text, 0) == text.size(); }

bool isQueryStatement(std::string_view statement) {
  static constexpr std::array<std::string_view, 7> kQueryWords = {"SELECT",  "WITH",   "VALUES", "SHOW",
                                                                  "EXPLAIN", "PRAGMA", "TABLE"};
  std::size_t pos = skipBlank(statement, 0);
  while (pos < statement.size() && statement[pos] == '(') pos = skipBlank(statement, pos + 1);
  std::size_t end = pos;
  while (end < statement.size() && isWordChar(statement[end])) ++end;
  std::string word = upper(statement.substr(pos, end - pos));
  return std::find(kQueryWords.begin(), kQueryWords.end(), word) != kQueryWords.end();
}

}  // namespace korvel::cli
