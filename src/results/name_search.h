// The results page's name search: a pattern of alternatives separated by "|", searched case-insensitively
// (ECMAScript syntax, unanchored) in the names of the current parser's entries, whatever its file system.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "controls/xhtml_tree.h"
#include "platform/page_sink.h"
#include "fs/results_parser.h"

namespace tessary {

// One hit: the entry, and the folder names from below the tree's top item down to the entry's folder.
struct SearchHit {
  std::int64_t data = 0;
  std::vector<std::string> folders;
  std::string name;
};

// A compiled search pattern. Pattern and names are matched as text of Unicode code points: each is
// decoded as the host's ANSI code page (UTF-8, with bytes that are not UTF-8 read as Windows-1252), so "."
// stands for one character whatever its encoding, and letters outside ASCII match their other case too.
// Patterns run on an automaton matcher whose time is linear in the name's length and which never
// recurses, so no pattern can hang or overflow a stack. Look-ahead assertions, which that matcher lacks,
// run on the standard library's polynomial matcher, and only in short patterns. Back-references, which
// need backtracking, are refused like any other pattern that is not a valid expression, and so are
// patterns longer or more deeply nested than a name search ever needs.
class NamePattern {
 public:
  // None when the text is not a valid expression (or is refused for its length or nesting).
  static std::optional<NamePattern> compile(std::string_view pattern);
  // Whether the pattern is found anywhere in the name.
  bool matches(std::string_view name) const;
  // Whether the pattern is plain alternatives of literal text (matched without the expression engine).
  bool literal() const { return m_literal; }
  // Whether the pattern runs on the polynomial matcher (it holds a look-ahead).
  bool polynomial() const;
  // The expression engine's answer even for a literal pattern (tests compare both).
  bool matchesByExpression(std::string_view name) const;
  // Whether this build has the automaton matcher. A build without it (Windows, which has no RE2) searches
  // for plain text and look-ahead patterns only.
  static bool automatonAvailable();

  // Longest pattern accepted, in code points, and deepest nesting of groups and classes.
  static constexpr std::size_t kMaxLength = 2048;
  static constexpr std::size_t kMaxLookAheadLength = 256;
  static constexpr std::size_t kMaxNesting = 250;

 private:
  struct Compiled;
  std::shared_ptr<const Compiled> m_compiled;
  bool m_literal = false;
};

// The message for a pattern that is not a valid expression.
inline constexpr const char* kPatternRefusedMessage =
    "such characters are not allowed for search.Try again with different pattern.";
// The message for an expression this build cannot search with (it has no automaton matcher).
inline constexpr const char* kPatternUnsupportedMessage =
    "search expressions are not supported in this build; search for plain text";
// The message for a pattern that compile() refused.
const char* patternRefusal(std::string_view pattern);

// What one search walks and whom it tells.
struct NameSearchLinks {
  const ResultsParser* parser = nullptr;
  const CXHtmlTree* tree = nullptr;
  TreeItem top = kNoItem;  // the tree's top item (the volume)
  PageSink* sink = nullptr;
  // Polled once per record of a folder walk (it also waits while the worker is paused).
  std::function<bool()> stopRequested;
  // The matcher's budget: once the names tested have taken this long to match, and each took more than
  // kSlowMatch on average, the pattern is too costly for the volume and the search ends. A cheap pattern
  // over a large volume is never cut short.
  std::chrono::milliseconds matchTimeLimit{1000};
};

inline constexpr std::chrono::microseconds kSlowMatch{100};
inline constexpr long long kSlowMatchNames = 1000;

// How a search ended.
struct NameSearchResult {
  std::int64_t hits = 0;
  std::int64_t namesTested = 0;
  bool stopped = false;   // a stop request ended it
  bool timedOut = false;  // the matcher's budget ran out
};

// The status and message when the matcher's budget ran out.
std::string searchTimedOutMessage(const NameSearchResult& result);

// Walks the top item's children: a top-level file is tested, a top-level folder is walked through the
// parser's links (subfolders descended, never tested themselves; every other searched entry tested).
// Each hit goes to `onHit` in walk order; the status line shows "searched file N" and the progress bar
// follows each top-level folder. A stop request ends the walk of the current folder at its next record
// (and every later folder's walk at its first); the matcher's budget running out ends the whole search.
// Folders are walked to any depth with an explicit stack.
NameSearchResult runNameSearch(const NameSearchLinks& links, const NamePattern& pattern,
                               const std::function<void(const SearchHit&)>& onHit);
// The same, returning the number of hits.
std::int64_t searchNames(const NameSearchLinks& links, const NamePattern& pattern,
                         const std::function<void(const SearchHit&)>& onHit);

// The detail list's first column for a hit: the top item's text, the folder names and the name,
// separated by "\\".
std::string hitRowText(const std::string& topText, const SearchHit& hit);

}  // namespace tessary
