#pragma once

#include <filesystem>

// Accepts the bundle at the location only when it is an intact, signed copy of the application:
// it opens as a bundle, carries the application's identifier, has an executable that the current
// user may run, and its signature holds. Every rejection throws
// InstallEngine::Failure::invalidPayload, whatever the reason.
void validatePayload(const std::filesystem::path& bundle);
