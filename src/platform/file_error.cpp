#include "file_error.h"

#include <cstring>

namespace files {

FileError::FileError(std::string sentence, int errorNumber, std::filesystem::path item)
    : std::runtime_error(std::move(sentence)), errorNumber_(errorNumber), item_(std::move(item)) {}

std::string systemReason(int errorNumber) {
    char buffer[256];
    // GNU strerror_r: returns either buffer or a static string, in the current locale.
    return ::strerror_r(errorNumber, buffer, sizeof buffer);
}

std::string quoted(const std::filesystem::path& path) {
    return "\u201E" + path.string() + "\u201D";
}

void throwFileError(std::string_view what, int errorNumber, const std::filesystem::path& item) {
    std::string sentence{what};
    sentence += ": ";
    sentence += systemReason(errorNumber);
    sentence += '.';
    throw FileError(std::move(sentence), errorNumber, item);
}

}  // namespace files
