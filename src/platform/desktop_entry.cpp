#include "desktop_entry.h"

#include <QString>
#include <algorithm>

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

}  // namespace

std::optional<std::string> formatDesktopEntry(const ApplicationEntry& entry) {
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
    std::string text = std::string(entryGroup) + "\nType=Application\n";
    text += "Name=" + escapedValue(name) + "\n";
    text += "Exec=" + escapedValue(execValue(program)) + "\n";
    text += "TryExec=" + escapedValue(program) + "\n";
    if (entry.icon) {
        text += "Icon=" + escapedValue(icon) + "\n";
    }
    text += std::string(bundleFolderKey) + "=" + escapedValue(bundle) + "\n";
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
