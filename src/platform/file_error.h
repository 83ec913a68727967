#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace files {

// A failed file-system operation. The text is one readable sentence that names the operation and
// the item and ends with the system's reason, e.g.
//   Nie udało się przenieść „/a/b” do „/a/c”: File exists.
class FileError : public std::runtime_error {
public:
    FileError(std::string sentence, int errorNumber);

    // The errno value behind the failure (0 when there is none).
    int errorNumber() const noexcept { return errorNumber_; }

private:
    int errorNumber_;
};

// The system's description of an errno value, in the current locale.
std::string systemReason(int errorNumber);

// „path” with Polish quotation marks, as used in every file error sentence.
std::string quoted(const std::filesystem::path& path);

// "<what>: <system reason>." as a FileError; `what` names the operation and the item.
FileError fileError(std::string_view what, int errorNumber);
[[noreturn]] void throwFileError(std::string_view what, int errorNumber);

}  // namespace files
