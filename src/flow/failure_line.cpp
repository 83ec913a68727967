#include "failure_line.h"

namespace {

constexpr std::string_view installFailurePrefix = "Instalacja nie powiodła się: ";
constexpr std::string_view launchFailurePrefix =
    "Aplikacja jest zainstalowana, ale nie udało się jej uruchomić: ";

QString fromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

}  // namespace

QString failureLine(FailedStage stage, std::string_view errorText) {
    const std::string_view prefix =
        stage == FailedStage::launch ? launchFailurePrefix : installFailurePrefix;
    return fromUtf8(prefix) + fromUtf8(errorText);
}
