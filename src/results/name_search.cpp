// The name search: pattern compilation, matching over code points, and the walk over the parser's links.
#include "results/name_search.h"

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

}  // namespace

struct NamePattern::Compiled {
  std::wregex expression;
  // For a literal pattern: its alternatives, case-folded as the expression engine folds them.
  std::vector<std::wstring> alternatives;
};

std::optional<NamePattern> NamePattern::compile(std::string_view pattern) {
  const std::wstring text = codePoints(pattern);
  auto compiled = std::make_shared<Compiled>();
  try {
    compiled->expression.imbue(matchLocale());
    compiled->expression.assign(text, searchFlags());
  } catch (const std::regex_error&) {
    return std::nullopt;
  }
  NamePattern result;
  result.m_literal = true;
  for (wchar_t c : text)
    if (isSyntaxCharacter(c)) result.m_literal = false;
  if (result.m_literal) {
    const auto& ctype = std::use_facet<std::ctype<wchar_t>>(matchLocale());
    std::wstring folded = text;
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
  try {
    return std::regex_search(codePoints(name), m_compiled->expression);
  } catch (const std::regex_error&) {
    // The engine gave up on this name (complexity or stack): not a hit, and the search goes on.
    return false;
  }
}

std::string hitRowText(const std::string& topText, const SearchHit& hit) {
  std::string text = topText;
  for (const std::string& folder : hit.folders) text += "\\" + folder;
  return text + "\\" + hit.name;
}

namespace {

// Folders deeper than this are not descended.
constexpr std::size_t kMaxSearchDepth = 4096;

class Walker {
 public:
  Walker(const NameSearchLinks& links, const NamePattern& pattern, const std::function<void(const SearchHit&)>& onHit)
      : m_links(links), m_parser(*links.parser), m_pattern(pattern), m_onHit(onHit) {}

  void test(std::int64_t data, const std::vector<std::string>& folders) {
    const std::string name = m_parser.name(data);
    if (!m_pattern.matches(name)) return;
    m_onHit(SearchHit{data, folders, name});
    ++m_hits;
    if (m_links.sink) m_links.sink->setStatus(format("searched file %lld", static_cast<long long>(m_hits)));
  }

  // A folder's children in link order, subfolders descended depth first; a folder already on the walk
  // is not entered again, so links that loop back end there.
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
        if (stack.size() >= kMaxSearchDepth || onWalk.count(child)) continue;
        const std::string name = m_parser.name(child);
        // A folder without a name adds nothing to the path.
        if (!name.empty()) folders.push_back(name);
        onWalk.insert(child);
        stack.push_back({child, m_parser.children(child), 0, !name.empty()});
      } else if (m_parser.searchesName(child)) {
        test(child, folders);
      }
    }
    // Whatever a stop left on the path belongs to frames already gone.
    m_stopped = false;
  }

  std::int64_t hits() const { return m_hits; }

 private:
  bool stopRequested() {
    if (m_links.stopRequested && m_links.stopRequested()) m_stopped = true;
    return m_stopped;
  }

  // The progress bar's position is the hit count, told only when it moves.
  void showPosition() {
    if (!m_links.sink || m_hits == m_shownPosition) return;
    m_links.sink->progressPosition(m_hits);
    m_shownPosition = m_hits;
  }

  const NameSearchLinks& m_links;
  const ResultsParser& m_parser;
  const NamePattern& m_pattern;
  const std::function<void(const SearchHit&)>& m_onHit;
  std::int64_t m_hits = 0;
  std::int64_t m_shownPosition = -1;
  bool m_stopped = false;
};

}  // namespace

std::int64_t searchNames(const NameSearchLinks& links, const NamePattern& pattern,
                         const std::function<void(const SearchHit&)>& onHit) {
  if (!links.parser || !links.tree || links.top == kNoItem) return 0;
  const ResultsParser& parser = *links.parser;
  const CXHtmlTree& tree = *links.tree;
  Walker walker(links, pattern, onHit);
  for (TreeItem item = tree.childItem(links.top); item != kNoItem; item = tree.nextSiblingItem(item)) {
    const std::int64_t data = tree.itemData(item);
    if (!parser.validItem(data)) continue;
    if (parser.isFolder(data)) {
      std::vector<std::string> folders;
      const std::string text = tree.itemText(item);
      if (!text.empty()) folders.push_back(text);
      const std::int64_t count = parser.fileCount(data);
      if (links.sink) links.sink->progressRange(0, count);
      walker.walk(data, folders);
      if (links.sink) links.sink->progressPosition(count);
    } else if (parser.searchesName(data)) {
      walker.test(data, {});
    }
  }
  return walker.hits();
}

}  // namespace tessary
