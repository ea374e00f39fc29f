// The name search: pattern compilation, matching over code points, and the walk over the parser's links.
#include "results/name_search.h"

#ifdef TESSARY_WITH_RE2
#include <re2/re2.h>
#endif

#include <time.h>

#include <algorithm>
#include <cctype>
#include <locale>
#include <regex>
#include <stdexcept>
#include <unordered_set>

#include "platform/text.h"

namespace tessary {

namespace {

// The locale whose case mapping the matcher uses: a UTF-8 one where the host has it, so that "É" and
// "é" are the same letter; otherwise the classic one (ASCII letters only).
const std::locale& matchLocale() {
  static const std::locale locale = [] {
    for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
      try {
        return std::locale(name);
      } catch (const std::runtime_error&) {
      }
    }
    return std::locale::classic();
  }();
  return locale;
}

// ANSI text (UTF-8, other bytes as Windows-1252) as code points; where wchar_t holds UTF-16 units, as
// UTF-16.
std::wstring codePoints(std::string_view text) {
  const std::u16string units = utf16FromAnsi(text);
  std::wstring out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t unit = units[i];
    if constexpr (sizeof(wchar_t) >= 4) {
      if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
        unit = 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00);
        ++i;
      }
    }
    out.push_back(static_cast<wchar_t>(unit));
  }
  return out;
}

// The characters that give ECMAScript syntax its meaning; text without them matches literally.
bool isSyntaxCharacter(wchar_t c) {
  return std::wstring_view(L"^$\\.*+?()[]{}").find(c) != std::wstring_view::npos;
}

std::regex_constants::syntax_option_type searchFlags() {
  using namespace std::regex_constants;
  syntax_option_type flags = ECMAScript | icase | nosubs;
#if defined(__GLIBCXX__)
  // The non-backtracking executor: time bounded by name length times pattern size.
  flags |= __polynomial;
#endif
  return flags;
}

// What a scan of the pattern's syntax finds before any compiler sees it.
struct PatternShape {
  std::size_t deepestNesting = 0;
  bool lookAhead = false;
  bool lookBehind = false;
};

// Groups and classes are counted as they open; escapes and class contents are skipped. The scan is a
// single loop, so even a pattern that would overflow a recursive compiler's stack is measured safely.
PatternShape shapeOf(std::string_view p) {
  PatternShape shape;
  std::size_t depth = 0;
  bool inClass = false;
  for (std::size_t i = 0; i < p.size(); ++i) {
    const char c = p[i];
    if (c == '\\') {
      ++i;
      continue;
    }
    if (inClass) {
      if (c == ']') {
        inClass = false;
        --depth;
      }
      continue;
    }
    if (c == '[') {
      inClass = true;
      shape.deepestNesting = std::max(shape.deepestNesting, ++depth);
    } else if (c == '(') {
      shape.deepestNesting = std::max(shape.deepestNesting, ++depth);
      const std::string_view rest = p.substr(i + 1);
      if (rest.starts_with("?=") || rest.starts_with("?!")) shape.lookAhead = true;
      if (rest.starts_with("?<=") || rest.starts_with("?<!")) shape.lookBehind = true;
    } else if (c == ')' && depth > 0) {
      --depth;
    }
  }
  return shape;
}

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// The few ECMAScript spellings the automaton matcher writes otherwise: "\uXXXX" is "\x{XXXX}" and a named
// group "(?<name>" is "(?P<name>". Everything else is the same syntax.
std::string automatonSyntax(std::string_view p) {
  std::string out;
  out.reserve(p.size() + 8);
  bool inClass = false;
  for (std::size_t i = 0; i < p.size(); ++i) {
    const char c = p[i];
    if (c == '\\' && i + 1 < p.size()) {
      if (p[i + 1] == 'u' && i + 5 < p.size() && isHex(p[i + 2]) && isHex(p[i + 3]) &&
          isHex(p[i + 4]) && isHex(p[i + 5])) {
        out += "\\x{";
        out += p.substr(i + 2, 4);
        out += '}';
        i += 5;
        continue;
      }
      out += p.substr(i, 2);
      ++i;
      continue;
    }
    if (inClass) {
      if (c == ']') inClass = false;
    } else if (c == '[') {
      inClass = true;
    } else if (c == '(' && p.substr(i + 1).starts_with("?<") && i + 3 < p.size() && p[i + 3] != '=' &&
               p[i + 3] != '!') {
      out += "(?P<";
      i += 2;
      continue;
    }
    out += c;
  }
  return out;
}

std::size_t codePointCount(std::string_view utf8) {
  std::size_t count = 0;
  for (char c : utf8)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  return count;
}

}  // namespace

struct NamePattern::Compiled {
#ifdef TESSARY_WITH_RE2
  // The automaton matcher's program; none for a look-ahead pattern.
  std::unique_ptr<re2::RE2> automaton;
#endif
  // The polynomial matcher, for a look-ahead pattern only.
  std::optional<std::wregex> expression;
  // For a literal pattern: its alternatives, case-folded as the expression engine folds them.
  std::vector<std::wstring> alternatives;
};

std::optional<NamePattern> NamePattern::compile(std::string_view pattern) {
  const std::string text = utf8FromAnsi(pattern);
  const std::size_t length = codePointCount(text);
  if (length > kMaxLength) return std::nullopt;
  const PatternShape shape = shapeOf(text);
  // The standard library has no look-behind; the automaton has neither kind of look-around.
  if (shape.deepestNesting > kMaxNesting || shape.lookBehind) return std::nullopt;
  auto compiled = std::make_shared<Compiled>();
  if (shape.lookAhead) {
    if (length > kMaxLookAheadLength) return std::nullopt;
    try {
      std::wregex expression;
      expression.imbue(matchLocale());
      expression.assign(codePoints(pattern), searchFlags());
      compiled->expression = std::move(expression);
    } catch (const std::regex_error&) {
      return std::nullopt;
    }
  } else {
#ifdef TESSARY_WITH_RE2
    re2::RE2::Options options;
    options.set_encoding(re2::RE2::Options::EncodingUTF8);
    options.set_case_sensitive(false);
    options.set_never_capture(true);
    options.set_log_errors(false);
    options.set_max_mem(std::int64_t{64} << 20);
    auto automaton = std::make_unique<re2::RE2>(automatonSyntax(text), options);
    if (!automaton->ok()) return std::nullopt;
    compiled->automaton = std::move(automaton);
#else
    // Without the automaton matcher only plain text is searched for (see patternRefusal).
    (void)automatonSyntax;
    for (wchar_t c : codePoints(pattern))
      if (isSyntaxCharacter(c)) return std::nullopt;
#endif
  }
  NamePattern result;
  const std::wstring points = codePoints(pattern);
  result.m_literal = true;
  for (wchar_t c : points)
    if (isSyntaxCharacter(c)) result.m_literal = false;
  if (result.m_literal) {
    const auto& ctype = std::use_facet<std::ctype<wchar_t>>(matchLocale());
    std::wstring folded = points;
    ctype.tolower(folded.data(), folded.data() + folded.size());
    std::size_t start = 0;
    for (;;) {
      const std::size_t bar = folded.find(L'|', start);
      compiled->alternatives.push_back(folded.substr(start, bar == std::wstring::npos ? std::wstring::npos : bar - start));
      if (bar == std::wstring::npos) break;
      start = bar + 1;
    }
  }
  result.m_compiled = std::move(compiled);
  return result;
}

bool NamePattern::polynomial() const { return m_compiled && m_compiled->expression.has_value(); }

bool NamePattern::matches(std::string_view name) const {
  if (!m_compiled) return false;
  if (!m_literal) return matchesByExpression(name);
  std::wstring text = codePoints(name);
  const auto& ctype = std::use_facet<std::ctype<wchar_t>>(matchLocale());
  ctype.tolower(text.data(), text.data() + text.size());
  for (const std::wstring& alternative : m_compiled->alternatives)
    if (text.find(alternative) != std::wstring::npos) return true;
  return false;
}

bool NamePattern::matchesByExpression(std::string_view name) const {
  if (!m_compiled) return false;
#ifdef TESSARY_WITH_RE2
  if (m_compiled->automaton) return re2::RE2::PartialMatch(utf8FromAnsi(name), *m_compiled->automaton);
#else
  if (!m_compiled->expression) return matches(name);
#endif
  try {
    return std::regex_search(codePoints(name), *m_compiled->expression);
  } catch (const std::regex_error&) {
    // The engine gave up on this name (complexity or stack): not a hit, and the search goes on.
    return false;
  }
}

bool NamePattern::automatonAvailable() {
#ifdef TESSARY_WITH_RE2
  return true;
#else
  return false;
#endif
}

const char* patternRefusal(std::string_view pattern) {
  if (!NamePattern::automatonAvailable() && shapeOf(utf8FromAnsi(pattern)).lookAhead == false)
    for (wchar_t c : codePoints(pattern))
      if (isSyntaxCharacter(c)) return kPatternUnsupportedMessage;
  return kPatternRefusedMessage;
}

std::string hitRowText(const std::string& topText, const SearchHit& hit) {
  std::string text = topText;
  for (const std::string& folder : hit.folders) text += "\\" + folder;
  return text + "\\" + hit.name;
}

namespace {

// The processor time of the calling thread: a loaded machine does not make a pattern look costly.
std::chrono::nanoseconds threadTime() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// The most names that go between two timed matches.
constexpr long long kMaxTimingStride = 64;

class Walker {
 public:
  Walker(const NameSearchLinks& links, const NamePattern& pattern, const std::function<void(const SearchHit&)>& onHit)
      : m_links(links), m_parser(*links.parser), m_pattern(pattern), m_onHit(onHit) {}

  void test(std::int64_t data, const std::vector<std::string>& folders) {
    const std::string name = m_parser.name(data);
    // Reading the thread's clock is a system call, dearer than a cheap match: a match that proved cheap
    // lets the next few go untimed (up to kMaxTimingStride), and the next timed one stands for them all.
    // A slow match puts the timing back on every name, so a costly pattern is measured as before.
    bool hit = false;
    ++m_untimed;
    if (m_untimed >= m_stride) {
      const auto before = threadTime();
      hit = m_pattern.matches(name);
      const auto took = threadTime() - before;
      m_matchTime += took * m_untimed;
      m_untimed = 0;
      m_stride = took < kSlowMatch / 16 ? std::min(m_stride * 2, kMaxTimingStride) : 1;
    } else {
      hit = m_pattern.matches(name);
    }
    ++m_result.namesTested;
    // The average is judged over at least kSlowMatchNames names, so that the first match (which builds the
    // matcher's tables) does not count as a slow pattern.
    const auto judged = std::max<long long>(m_result.namesTested, kSlowMatchNames);
    if (m_matchTime > m_links.matchTimeLimit && m_matchTime > kSlowMatch * judged) {
      m_result.timedOut = true;
      m_stopped = true;
    }
    if (!hit) return;
    m_onHit(SearchHit{data, folders, name});
    ++m_result.hits;
    if (m_links.sink) m_links.sink->setStatus(format("searched file %lld", static_cast<long long>(m_result.hits)));
  }

  // A folder's children in link order, subfolders descended depth first to any depth; a folder already on
  // the walk is not entered again, so links that loop back end there.
  void walk(std::int64_t folder, std::vector<std::string>& folders) {
    struct Frame {
      std::int64_t folder;
      std::vector<std::int64_t> children;
      std::size_t next = 0;
      bool named = false;
    };
    std::unordered_set<std::int64_t> onWalk{folder};
    std::vector<Frame> stack;
    stack.push_back({folder, m_parser.children(folder)});
    while (!stack.empty()) {
      Frame& frame = stack.back();
      if (frame.next >= frame.children.size() || stopRequested()) {
        if (stack.size() > 1 && frame.named) folders.pop_back();
        onWalk.erase(frame.folder);
        stack.pop_back();
        if (m_stopped) break;
        continue;
      }
      const std::int64_t child = frame.children[frame.next++];
      showPosition();
      if (m_parser.isFolder(child)) {
        if (onWalk.count(child)) continue;
        const std::string name = m_parser.name(child);
        // A folder without a name adds nothing to the path.
        if (!name.empty()) folders.push_back(name);
        onWalk.insert(child);
        stack.push_back({child, m_parser.children(child), 0, !name.empty()});
      } else if (m_parser.searchesName(child)) {
        test(child, folders);
      }
    }
    // Whatever a stop left on the path belongs to frames already gone. A stop request ends this folder's
    // walk only; the budget running out ends the search.
    if (m_stopped && !m_result.timedOut) m_result.stopped = true;
    m_stopped = m_result.timedOut;
  }

  bool over() const { return m_result.timedOut; }
  const NameSearchResult& result() const { return m_result; }

 private:
  bool stopRequested() {
    if (m_links.stopRequested && m_links.stopRequested()) m_stopped = true;
    return m_stopped;
  }

  // The progress bar's position is the hit count, told only when it moves.
  void showPosition() {
    if (!m_links.sink || m_result.hits == m_shownPosition) return;
    m_links.sink->progressPosition(m_result.hits);
    m_shownPosition = m_result.hits;
  }

  const NameSearchLinks& m_links;
  const ResultsParser& m_parser;
  const NamePattern& m_pattern;
  const std::function<void(const SearchHit&)>& m_onHit;
  NameSearchResult m_result;
  std::chrono::nanoseconds m_matchTime{};
  // Names matched since the last timed one, and how many go between two timed ones.
  long long m_untimed = 0;
  long long m_stride = 1;
  std::int64_t m_shownPosition = -1;
  bool m_stopped = false;
};

}  // namespace

std::string searchTimedOutMessage(const NameSearchResult& result) {
  return format("Search stopped: the pattern is too slow to match (%lld names tested). Try a simpler pattern.",
                static_cast<long long>(result.namesTested));
}

NameSearchResult runNameSearch(const NameSearchLinks& links, const NamePattern& pattern,
                               const std::function<void(const SearchHit&)>& onHit) {
  if (!links.parser || !links.tree || links.top == kNoItem) return {};
  const ResultsParser& parser = *links.parser;
  const CXHtmlTree& tree = *links.tree;
  Walker walker(links, pattern, onHit);
  for (TreeItem item = tree.childItem(links.top); item != kNoItem && !walker.over();
       item = tree.nextSiblingItem(item)) {
    const std::int64_t data = tree.itemData(item);
    if (!parser.validItem(data)) continue;
    if (parser.isFolder(data)) {
      std::vector<std::string> folders;
      const std::string text = tree.itemText(item);
      if (!text.empty()) folders.push_back(text);
      const std::int64_t count = parser.fileCount(data);
      if (links.sink) links.sink->progressRange(0, count, ProgressAmount::items(count));
      walker.walk(data, folders);
      if (links.sink) links.sink->progressPosition(count);
    } else if (parser.searchesName(data)) {
      walker.test(data, {});
    }
  }
  return walker.result();
}

std::int64_t searchNames(const NameSearchLinks& links, const NamePattern& pattern,
                         const std::function<void(const SearchHit&)>& onHit) {
  return runNameSearch(links, pattern, onHit).hits;
}

}  // namespace tessary
