#pragma once

#include <QString>
#include <filesystem>

namespace testsupport {

// True for one readable sentence about a failed file operation: "Nie udało się …", the item in
// „…” when one is given, the system's reason for `errorNumber` and a full stop; no C++ names.
bool isReadableFileError(const QString& text, int errorNumber,
                         const std::filesystem::path& item = {});

}  // namespace testsupport
