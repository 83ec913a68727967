#include "desktop_entry.h"

#include <QString>
#include <algorithm>
#include <array>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::string_view entryGroup = "[Desktop Entry]";

// A string value as a key file holds it: a backslash, a line break and a tab escaped, and a space
// at either end written "\s", since readers strip spaces around the value.
std::string escapedValue(std::string_view value) {
    std::string escaped;
    for (std::size_t i = 0; i < value.size(); ++i) {
        switch (const char c = value[i]) {
            case '\\':
                escaped += "\\\\";
                break;
            case '\n':
                escaped += "\\n";
                break;
            case '\t':
                escaped += "\\t";
                break;
            case '\r':
                escaped += "\\r";
                break;
            case ' ':
                escaped += i == 0 || i + 1 == value.size() ? "\\s" : " ";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

// The inverse of escapedValue; absent for an unknown or unfinished escape.
std::optional<std::string> unescapedValue(std::string_view value) {
    std::string plain;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\') {
            plain += value[i];
            continue;
        }
        if (++i == value.size()) {
            return std::nullopt;
        }
        switch (value[i]) {
            case 's':
                plain += ' ';
                break;
            case 'n':
                plain += '\n';
                break;
            case 't':
                plain += '\t';
                break;
            case 'r':
                plain += '\r';
                break;
            case '\\':
                plain += '\\';
                break;
            default:
                return std::nullopt;
        }
    }
    return plain;
}

// One argument of Exec, before the string escapes: in double quotes, with the four characters that
// stay special there escaped by a backslash, and "%" doubled so that it is no field code.
std::string quotedArgument(std::string_view argument) {
    std::string quoted = "\"";
    for (const char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted += '\\';
        } else if (c == '%') {
            quoted += '%';
        }
        quoted += c;
    }
    return quoted + '"';
}

std::string execValue(std::string_view program) {
    // GLib, which GNOME's menus and gtk-launch use, looks the program up before it turns "%%" back
    // into "%": it finds nothing at a path that holds "%" and drops the entry. Such a path goes to
    // the shell as an argument instead, which is "%" again by the time the shell runs it.
    if (program.find('%') != std::string_view::npos) {
        return "/bin/sh -c " + quotedArgument("exec \"$0\"") + " " + quotedArgument(program);
    }
    return quotedArgument(program);
}

// UTF-8 without control characters other than the tab and the line breaks, which escapes carry.
bool isWritableText(std::string_view text) {
    const QString decoded = QString::fromUtf8(text.data(), qsizetype(text.size()));
    if (decoded.toUtf8() != QByteArrayView(text.data(), qsizetype(text.size()))) {
        return false;
    }
    return std::none_of(decoded.begin(), decoded.end(), [](QChar c) {
        return c.category() == QChar::Other_Control && c != '\t' && c != '\n' && c != '\r';
    });
}

// A name for menus: one line of UTF-8, without control characters or runs of spaces.
std::string displayText(std::string_view name) {
    QString text = QString::fromUtf8(name.data(), qsizetype(name.size()));
    for (QChar& c : text) {
        if (c.category() == QChar::Other_Control) {
            c = ' ';
        }
    }
    return text.simplified().toStdString();
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The keys of the [Desktop Entry] group that the installer owns. Name is set only in a new entry
// or one without a name: a menu editor's name stays.
constexpr std::array<std::string_view, 5> ownedKeys = {"Type", "Exec", "TryExec", "Icon",
                                                       bundleFolderKey};

bool isOwnedKey(std::string_view key) {
    return std::find(ownedKeys.begin(), ownedKeys.end(), key) != ownedKeys.end();
}

// One line of ours, as it is written: "Key=value".
struct OwnedLine {
    std::string_view key;
    std::string text;
    bool written = false;  // while an existing entry is updated: already put in its place
};

// The lines of an entry of ours, in the order a new entry lists them, with `arguments` after the
// program in Exec; absent when a path cannot be written into an entry faithfully.
std::optional<std::vector<OwnedLine>> ownedLines(const ApplicationEntry& entry,
                                                 std::string_view arguments) {
    const std::string& program = entry.program.native();
    const std::string& bundle = entry.bundle.native();
    const std::string icon = entry.icon.value_or(fs::path()).native();
    if (!isWritableText(program) || !isWritableText(bundle) || !isWritableText(icon)) {
        return std::nullopt;
    }
    std::string name = displayText(entry.name);
    if (name.empty()) {
        name = displayText(entry.bundle.stem().native());
    }
    std::vector<OwnedLine> lines;
    lines.push_back({"Type", "Type=Application"});
    lines.push_back({"Name", "Name=" + escapedValue(name)});
    lines.push_back({"Exec", "Exec=" + escapedValue(execValue(program) + std::string(arguments))});
    lines.push_back({"TryExec", "TryExec=" + escapedValue(program)});
    if (entry.icon) {
        lines.push_back({"Icon", "Icon=" + escapedValue(icon)});
    }
    lines.push_back({bundleFolderKey, std::string(bundleFolderKey) + "=" + escapedValue(bundle)});
    return lines;
}

// The lines of a text, without their line breaks; a last line without one counts too.
std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        lines.push_back(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return lines;
}

// The key of a "Key=value" line; absent for a comment, a blank line or a group header.
std::optional<std::string_view> keyOf(std::string_view line) {
    const std::size_t equals = line.find('=');
    if (line.starts_with('#') || line.starts_with('[') || equals == std::string_view::npos) {
        return std::nullopt;
    }
    return trimmed(line.substr(0, equals));
}

// What a menu editor added after the program in Exec of an entry of ours (" --verbose"): the rest
// of Exec after the program that TryExec names, written as we write it. Empty when Exec does not
// start so.
std::string addedArguments(std::string_view existing) {
    const auto exec = desktopEntryValue(existing, "Exec");
    const auto program = desktopEntryValue(existing, "TryExec");
    if (!exec || !program) {
        return {};
    }
    const std::string ours = execValue(*program);
    const std::string_view rest =
        std::string_view(*exec).substr(std::min(ours.size(), exec->size()));
    return exec->starts_with(ours) && rest.starts_with(' ') ? std::string(rest) : std::string();
}

}  // namespace

std::optional<std::string> formatDesktopEntry(const ApplicationEntry& entry) {
    const auto lines = ownedLines(entry, {});
    if (!lines) {
        return std::nullopt;
    }
    std::string text = std::string(entryGroup) + "\n";
    for (const OwnedLine& line : *lines) {
        text += line.text + "\n";
    }
    return text;
}

std::optional<std::string> updatedDesktopEntry(std::string_view existing,
                                               const ApplicationEntry& entry) {
    auto lines = ownedLines(entry, addedArguments(existing));
    if (!lines) {
        return std::nullopt;
    }
    std::vector<std::string_view> kept;
    bool inEntryGroup = false;
    bool hasName = false;
    std::size_t insertAt = 0;  // after the entry group's last key: where missing keys go
    for (const std::string_view line : splitLines(existing)) {
        const auto key = keyOf(line);
        if (line.starts_with('[')) {
            inEntryGroup = trimmed(line) == entryGroup;
        } else if (inEntryGroup && key) {
            hasName = hasName || *key == "Name";
            if (isOwnedKey(*key)) {
                const auto ours =
                    std::find_if(lines->begin(), lines->end(),
                                 [&](const OwnedLine& own) { return own.key == *key; });
                // Once in its first place; a repeated key, or one that the entry leaves out (no
                // icon), goes.
                if (ours != lines->end() && !std::exchange(ours->written, true)) {
                    kept.push_back(ours->text);
                }
            } else {
                kept.push_back(line);
            }
            insertAt = kept.size();
            continue;
        }
        kept.push_back(line);
        if (inEntryGroup && line.starts_with('[')) {
            insertAt = kept.size();
        }
    }
    std::vector<std::string_view> missing;
    for (const OwnedLine& line : *lines) {
        if (!line.written && !(line.key == "Name" && hasName)) {
            missing.push_back(line.text);
        }
    }
    kept.insert(kept.begin() + std::ptrdiff_t(insertAt), missing.begin(), missing.end());
    std::string text;
    for (const std::string_view line : kept) {
        text += line;
        text += '\n';
    }
    return text;
}

std::optional<std::string> desktopEntryValue(std::string_view text, std::string_view key) {
    bool inEntryGroup = false;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (line.starts_with('[')) {
            inEntryGroup = trimmed(line) == entryGroup;
            continue;
        }
        const std::size_t equals = line.find('=');
        if (inEntryGroup && equals != std::string_view::npos &&
            trimmed(line.substr(0, equals)) == key) {
            return unescapedValue(trimmed(line.substr(equals + 1)));
        }
    }
    return std::nullopt;
}

std::optional<fs::path> bundleOfDesktopEntry(std::string_view text) {
    const auto value = desktopEntryValue(text, bundleFolderKey);
    if (!value || !fs::path(*value).is_absolute()) {
        return std::nullopt;
    }
    return fs::path(*value);
}
