#pragma once

#include <QString>
#include <string_view>

// How far the install action had got when it failed: before the copy installed in this run was
// recorded, or after it (the application is installed then, and only its start failed).
enum class FailedStage { install, launch };

// The one line that the screen shows for a failed install action: the stage's fixed prefix, then
// the error's own text unchanged (no line break, no full stop of its own).
QString failureLine(FailedStage stage, std::string_view errorText);
