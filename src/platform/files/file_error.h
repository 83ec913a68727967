#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace files {

// A failed file-system operation. The text is one readable sentence that names the operation and
// the item and ends with the system's reason, e.g.
//   Nie udało się przenieść „/a/b” do „/a/c”: File exists.
// It describes the operation for a log or a developer; what the user reads is composed above this
// layer from the errno and the item, in the terms of the task at hand.
class FileError : public std::runtime_error {
public:
    FileError(std::string sentence, int errorNumber, std::filesystem::path item);

    // The errno value behind the failure (0 when there is none).
    int errorNumber() const noexcept { return errorNumber_; }
    // The item whose reading or writing failed: for a copy, the item of the source or of the copy
    // that was at hand, so that the caller can tell which side failed.
    const std::filesystem::path& item() const noexcept { return item_; }

private:
    int errorNumber_;
    std::filesystem::path item_;
};

// The system's description of an errno value, in the current locale.
std::string systemReason(int errorNumber);

// „path” with Polish quotation marks, as used in every file error sentence.
std::string quoted(const std::filesystem::path& path);

// "<what>: <system reason>." as a FileError about `item`; `what` names the operation and the item.
[[noreturn]] void throwFileError(std::string_view what, int errorNumber,
                                 const std::filesystem::path& item);

}  // namespace files
