#include "file_error.h"

#include <cstring>

namespace files {

FileError::FileError(std::string sentence, int errorNumber)
    : std::runtime_error(std::move(sentence)), errorNumber_(errorNumber) {}

std::string systemReason(int errorNumber) {
    char buffer[256];
    // GNU strerror_r: returns either buffer or a static string, in the current locale.
    return ::strerror_r(errorNumber, buffer, sizeof buffer);
}

std::string quoted(const std::filesystem::path& path) {
    return "\u201E" + path.string() + "\u201D";
}

FileError fileError(std::string_view what, int errorNumber) {
    std::string sentence{what};
    sentence += ": ";
    sentence += systemReason(errorNumber);
    sentence += '.';
    return FileError(std::move(sentence), errorNumber);
}

void throwFileError(std::string_view what, int errorNumber) {
    throw fileError(what, errorNumber);
}

}  // namespace files
