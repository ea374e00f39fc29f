// The parts of the host file layer every host shares: the read overlay, reads through it, and safe names.
#include <algorithm>
#include <array>
#include <iterator>
#include <string_view>

#include "platform/files.h"

namespace tessary {

void ReadOverlay::place(std::uint64_t start, Piece piece) {
  if (piece.end <= start) return;
  // Cut every piece that overlaps [start, end) back to what lies outside it.
  auto it = m_pieces.lower_bound(start);
  if (it != m_pieces.begin()) {
    auto before = std::prev(it);
    if (before->second.end > start) {
      Piece tail = before->second;
      before->second.end = start;
      if (tail.end > piece.end) m_pieces.emplace(piece.end, tail);
    }
  }
  it = m_pieces.lower_bound(start);
  while (it != m_pieces.end() && it->first < piece.end) {
    if (it->second.end > piece.end) {
      Piece tail = it->second;
      m_pieces.erase(it);
      m_pieces.emplace(piece.end, tail);
      break;
    }
    it = m_pieces.erase(it);
  }
  m_pieces.emplace(start, std::move(piece));
}

void ReadOverlay::write(std::uint64_t offset, std::span<const std::byte> data) {
  if (data.empty() || offset > UINT64_MAX - data.size()) return;
  Piece piece;
  piece.end = offset + data.size();
  piece.data = std::make_shared<const std::vector<std::byte>>(data.begin(), data.end());
  piece.dataStart = offset;
  place(offset, std::move(piece));
}

void ReadOverlay::zero(std::uint64_t offset, std::uint64_t length) {
  if (length == 0 || offset > UINT64_MAX - length) return;
  Piece piece;
  piece.end = offset + length;
  piece.zero = true;
  place(offset, std::move(piece));
}

void ReadOverlay::apply(std::uint64_t offset, std::span<std::byte> out) const {
  if (out.empty() || offset > UINT64_MAX - out.size()) return;
  const std::uint64_t end = offset + out.size();
  auto it = m_pieces.upper_bound(offset);
  if (it != m_pieces.begin()) --it;
  for (; it != m_pieces.end() && it->first < end; ++it) {
    const std::uint64_t from = std::max(offset, it->first);
    const std::uint64_t to = std::min(end, it->second.end);
    if (from >= to) continue;
    std::byte* target = out.data() + (from - offset);
    if (it->second.zero) {
      std::fill(target, target + (to - from), std::byte{0});
    } else {
      const std::byte* source = it->second.data->data() + (from - it->second.dataStart);
      std::copy(source, source + (to - from), target);
    }
  }
}

std::uint64_t ReadOverlay::end() const { return m_pieces.empty() ? 0 : std::prev(m_pieces.end())->second.end; }

std::uint64_t ReadOverlay::firstFrom(std::uint64_t offset) const {
  auto it = m_pieces.upper_bound(offset);
  if (it != m_pieces.begin() && std::prev(it)->second.end > offset) return offset;
  return it == m_pieces.end() ? UINT64_MAX : it->first;
}

std::optional<std::size_t> ImageFile::readAt(std::uint64_t offset, std::span<std::byte> out) const {
  const std::optional<std::size_t> read = readHost(offset, out);
  if (!read) return std::nullopt;
  std::size_t done = *read;
  if (m_overlay && !m_overlay->empty()) {
    // The overlay may reach past the file's own end: those bytes are its own, or zeros before them.
    const std::uint64_t overlayEnd = m_overlay->end();
    if (overlayEnd > offset + done) {
      const std::size_t reach = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), overlayEnd - offset));
      std::fill(out.begin() + static_cast<std::ptrdiff_t>(done), out.begin() + static_cast<std::ptrdiff_t>(reach), std::byte{0});
      done = reach;
    }
    m_overlay->apply(offset, out.first(done));
  }
  return done;
}

bool ImageFile::readExact(std::uint64_t offset, std::span<std::byte> out) const {
  const auto got = readAt(offset, out);
  return got && *got == out.size();
}

std::string safeComponent(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  // Control characters would make a host name that shells and listings show wrongly.
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    out.push_back((c == '/' || u < 0x20 || u == 0x7F) ? '_' : c);
  }
  if (out.empty() || out == "." || out == "..") return "_";
  return out;
}

namespace {

bool equalsAsciiNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if ((x >= 'a' && x <= 'z' ? x - 32 : x) != (y >= 'a' && y <= 'z' ? y - 32 : y)) return false;
  }
  return true;
}

// Whether Windows takes the name for a device: the part before the first dot, without the blanks that
// end it, is a device's name ("CON", "nul.txt", "COM1 .log").
bool deviceName(std::string_view name) {
  std::string_view base = name.substr(0, std::min(name.find('.'), name.size()));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  for (std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
    if (equalsAsciiNoCase(base, device)) return true;
  for (std::string_view port : {"COM", "LPT"}) {
    if (base.size() < 4 || !equalsAsciiNoCase(base.substr(0, 3), port)) continue;
    const std::string_view digit = base.substr(3);
    if (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') return true;
    // The superscript digits one, two and three in UTF-8.
    if (digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3") return true;
  }
  return false;
}

}  // namespace

std::string windowsSafeName(const std::string& name) {
  std::string out;
  out.reserve(name.size() + 1);
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    // ':' would name an alternate data stream, '\\' and '/' a folder; the others are never allowed.
    const bool refused = u < 0x20 || std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos;
    out.push_back(refused ? '_' : c);
  }
  // Windows drops trailing dots and blanks, so "a." and "a" would be one file.
  for (std::size_t i = out.size(); i > 0 && (out[i - 1] == '.' || out[i - 1] == ' '); --i) out[i - 1] = '_';
  if (out.empty()) return "_";
  if (deviceName(out)) out.insert(out.begin(), '_');
  return out;
}

std::string besideNameParts(const std::string& name, std::vector<std::string>& parts) {
  parts.clear();
  if (name.empty() || name.front() == '/' || name.front() == '\\' || (name.size() >= 2 && name[1] == ':'))
    return "it is not a name inside the image's folder";
  if (name.find('\0') != std::string::npos) return "it is not a name inside the image's folder";
  std::size_t start = 0;
  while (start <= name.size()) {
    const std::size_t end = std::min(name.find_first_of("/\\", start), name.size());
    const std::string part = name.substr(start, end - start);
    if (part == "..") return "it leads out of the image's folder";
    if (!part.empty() && part != ".") parts.push_back(part);
    start = end + 1;
  }
  if (parts.empty()) return "it is not a name inside the image's folder";
  return {};
}

}  // namespace tessary
