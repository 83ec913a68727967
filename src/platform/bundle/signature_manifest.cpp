#include "signature_manifest.h"

#include <algorithm>
#include <charconv>

namespace codesign {

namespace {

constexpr std::string_view header = "vantorel-bundle-manifest 1";
constexpr char hexDigits[] = "0123456789ABCDEF";
constexpr char lowerHexDigits[] = "0123456789abcdef";

bool mustBeEscaped(unsigned char byte) noexcept {
    return byte <= 0x20 || byte == '%' || byte == 0x7F;
}

// The text with every byte for which `escaped` holds written as %XX.
template <typename Predicate>
std::string percentEscaped(std::string_view text, Predicate escaped) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (escaped(byte)) {
            out += '%';
            out += hexDigits[byte >> 4];
            out += hexDigits[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

std::string encode(std::string_view text) {
    return percentEscaped(text, mustBeEscaped);
}

int upperHexValue(char c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

int lowerHexValue(char c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

}  // namespace

// Reads the manifest line by line and says where a fault is.
class ManifestReader::Parser {
public:
    explicit Parser(std::string_view text) : rest_(text) {
        if (rest_.size() > maxManifestBytes) {
            throw ManifestError("the manifest is larger than " +
                                std::to_string(maxManifestBytes >> 20) + " MiB");
        }
        if (nextLine() != header) {
            fail("expected \"" + std::string(header) + "\"");
        }
    }

    std::optional<ManifestEntry> next() {
        if (ended_) {
            return std::nullopt;
        }
        const std::string_view line = nextLine();
        if (line.starts_with("end ")) {
            if (parseNumber(line.substr(4)) != count_) {
                fail("the end line counts " + std::string(line.substr(4)) + " entries, found " +
                     std::to_string(count_));
            }
            if (!rest_.empty()) {
                ++lineNumber_;
                fail("text after the end line");
            }
            ended_ = true;
            return std::nullopt;
        }
        ManifestEntry entry = parseEntry(line);
        checkPlace(entry);
        ++count_;
        return entry;
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw ManifestError("malformed manifest, line " + std::to_string(lineNumber_) + ": " +
                            what);
    }

    std::string_view nextLine() {
        ++lineNumber_;
        const size_t end = rest_.find('\n');
        if (end == std::string_view::npos) {
            fail(rest_.empty() ? "the manifest ends early" : "the last line has no line end");
        }
        const std::string_view line = rest_.substr(0, end);
        rest_.remove_prefix(end + 1);
        return line;
    }

    static std::vector<std::string_view> fields(std::string_view line) {
        std::vector<std::string_view> out;
        for (;;) {
            const size_t space = line.find(' ');
            out.push_back(line.substr(0, space));
            if (space == std::string_view::npos) {
                return out;
            }
            line.remove_prefix(space + 1);
        }
    }

    std::uint64_t parseNumber(std::string_view text) const {
        std::uint64_t value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc{} || end != text.data() + text.size() ||
            (text.size() > 1 && text[0] == '0') || value > (std::uint64_t{1} << 62)) {
            fail("\"" + printablePath(text) + "\" is not a number in canonical form");
        }
        return value;
    }

    std::string decode(std::string_view text, std::string_view what) const {
        if (text.empty()) {
            fail("empty " + std::string(what));
        }
        std::string out;
        out.reserve(text.size());
        for (size_t i = 0; i < text.size(); ++i) {
            const auto byte = static_cast<unsigned char>(text[i]);
            if (byte != '%') {
                if (mustBeEscaped(byte)) {
                    fail("a control character in a " + std::string(what));
                }
                out += text[i];
                continue;
            }
            const int high = i + 2 < text.size() ? upperHexValue(text[i + 1]) : -1;
            const int low = i + 2 < text.size() ? upperHexValue(text[i + 2]) : -1;
            if (high < 0 || low < 0) {
                fail("a bad %-escape in a " + std::string(what));
            }
            const auto decoded = static_cast<unsigned char>(high * 16 + low);
            if (!mustBeEscaped(decoded) || decoded == 0) {
                fail("a needless or NUL %-escape in a " + std::string(what));
            }
            out += static_cast<char>(decoded);
            i += 2;
        }
        if (out.size() > maxPathBytes) {
            fail("a " + std::string(what) + " longer than " + std::to_string(maxPathBytes) +
                 " bytes");
        }
        return out;
    }

    std::string parsePath(std::string_view text) const {
        std::string path = decode(text, "path");
        if (!isCleanRelativePath(path)) {
            fail("\"" + printablePath(path) +
                 "\" is not a relative path without empty, \".\" or \"..\" parts");
        }
        return path;
    }

    Sha256 parseSha256(std::string_view text) const {
        Sha256 digest{};
        if (text.size() != 64) {
            fail("a SHA-256 digest must have 64 hex digits");
        }
        for (size_t i = 0; i < digest.size(); ++i) {
            const int high = lowerHexValue(text[2 * i]);
            const int low = lowerHexValue(text[2 * i + 1]);
            if (high < 0 || low < 0) {
                fail("a SHA-256 digest must be lower-case hex");
            }
            digest[i] = static_cast<std::uint8_t>(high * 16 + low);
        }
        return digest;
    }

    ManifestEntry parseEntry(std::string_view line) const {
        const auto parts = fields(line);
        ManifestEntry entry;
        if (parts[0] == "dir" && parts.size() == 2) {
            entry.kind = ManifestEntry::Kind::folder;
        } else if (parts[0] == "file" && parts.size() == 5) {
            entry.kind = ManifestEntry::Kind::file;
            if (parts[2] != "x" && parts[2] != "-") {
                fail("the executable field must be \"x\" or \"-\"");
            }
            entry.executable =
                parts[2] == "x" ? ManifestEntry::Executable::yes : ManifestEntry::Executable::no;
            entry.size = parseNumber(parts[3]);
            entry.sha256 = parseSha256(parts[4]);
        } else if (parts[0] == "link" && parts.size() == 3) {
            entry.kind = ManifestEntry::Kind::link;
            entry.linkTarget = decode(parts[2], "link target");
        } else {
            fail("not a \"dir\", \"file\", \"link\" or \"end\" line with its fields");
        }
        entry.path = parsePath(parts[1]);
        return entry;
    }

    // The entry must come after the one before it and lie in a listed folder. In canonical order,
    // the listed folders whose entries may still follow are those whose paths are prefixes of the
    // path before, followed there by a byte that sorts no later than "/": so their lengths, with
    // that path, are all that needs keeping, however many folders the manifest lists.
    void checkPlace(const ManifestEntry& entry) {
        if (count_ > 0 && !pathLess(previous_, entry.path)) {
            fail("\"" + printablePath(entry.path) + "\" is a duplicate or out of order");
        }
        while (!openFolders_.empty() && !holdsStill(openFolders_.back(), entry.path)) {
            openFolders_.pop_back();  // everything in that folder came before this entry
        }
        const size_t slash = entry.path.rfind('/');
        if (slash != std::string::npos &&
            !std::binary_search(openFolders_.begin(), openFolders_.end(), slash)) {
            fail("the folder of \"" + printablePath(entry.path) + "\" is not listed before it");
        }
        if (entry.kind == ManifestEntry::Kind::folder) {
            openFolders_.push_back(entry.path.size());
        }
        previous_ = entry.path;
    }

    // True when the folder that the first `length` bytes of the previous path name may still hold
    // entries at or after `path`.
    bool holdsStill(size_t length, const std::string& path) const {
        return path.size() > length && path.compare(0, length, previous_, 0, length) == 0 &&
               static_cast<unsigned char>(path[length]) <= '/';
    }

    std::string_view rest_;
    size_t lineNumber_ = 0;
    size_t count_ = 0;
    bool ended_ = false;
    std::string previous_;
    std::vector<size_t> openFolders_;  // lengths of prefixes of previous_, increasing
};

ManifestReader::ManifestReader(std::string_view text) : parser_(std::make_unique<Parser>(text)) {}

ManifestReader::~ManifestReader() = default;

std::optional<ManifestEntry> ManifestReader::next() {
    return parser_->next();
}

std::vector<ManifestEntry> parseManifest(std::string_view text) {
    ManifestReader reader(text);
    std::vector<ManifestEntry> entries;
    while (auto entry = reader.next()) {
        entries.push_back(std::move(*entry));
    }
    return entries;
}

std::string formatManifest(const std::vector<ManifestEntry>& entries) {
    std::string out;
    out += header;
    out += '\n';
    for (const auto& entry : entries) {
        switch (entry.kind) {
            case ManifestEntry::Kind::folder:
                out += "dir " + encode(entry.path);
                break;
            case ManifestEntry::Kind::file:
                out += "file " + encode(entry.path) +
                       (entry.executable == ManifestEntry::Executable::yes ? " x " : " - ") +
                       std::to_string(entry.size) + ' ';
                for (const auto byte : entry.sha256) {
                    out += lowerHexDigits[byte >> 4];
                    out += lowerHexDigits[byte & 0xF];
                }
                break;
            case ManifestEntry::Kind::link:
                out += "link " + encode(entry.path) + ' ' + encode(entry.linkTarget);
                break;
        }
        out += '\n';
    }
    out += "end " + std::to_string(entries.size()) + '\n';
    return out;
}

bool pathLess(std::string_view a, std::string_view b) noexcept {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    });
}

bool isCleanRelativePath(std::string_view path) noexcept {
    if (path.empty() || path.find('\0') != std::string_view::npos) {
        return false;
    }
    for (;;) {
        const size_t slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
        if (part.empty() || part == "." || part == "..") {
            return false;
        }
        if (slash == std::string_view::npos) {
            return true;
        }
        path.remove_prefix(slash + 1);
    }
}

bool isLinkTargetInside(std::string_view linkPath, std::string_view target) noexcept {
    if (target.empty() || target.front() == '/' || target.find('\0') != std::string_view::npos) {
        return false;
    }
    // How many folders the link's own folder lies below the root.
    const auto depth = static_cast<size_t>(std::count(linkPath.begin(), linkPath.end(), '/'));
    size_t climbed = 0;
    bool descended = false;
    for (;;) {
        const size_t slash = target.find('/');
        const std::string_view part = target.substr(0, slash);
        if (part == "..") {
            // ".." after a name could undo a link's own resolution: refuse it outright.
            if (descended || ++climbed > depth) {
                return false;
            }
        } else if (!part.empty() && part != ".") {
            descended = true;
        }
        if (slash == std::string_view::npos) {
            return true;
        }
        target.remove_prefix(slash + 1);
    }
}

std::string printablePath(std::string_view path) {
    return percentEscaped(path, [](unsigned char byte) { return byte < 0x20 || byte == 0x7F; });
}

}  // namespace codesign
