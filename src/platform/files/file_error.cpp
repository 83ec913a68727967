#include "file_error.h"

#include <system_error>

namespace files {

FileError::FileError(std::string sentence, int errorNumber, std::filesystem::path item)
    : std::runtime_error(std::move(sentence)), errorNumber_(errorNumber), item_(std::move(item)) {}

std::string systemReason(int errorNumber) {
    return std::generic_category().message(errorNumber);
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
