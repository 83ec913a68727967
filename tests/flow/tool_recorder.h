#pragma once

#include <QStringList>
#include <filesystem>

#include "bundle_factory.h"

namespace testsupport {

// A stand-in for the registration tool: a script that appends each run's arguments to a record
// file and writes to its standard output and error.
struct RecordingTool {
    std::filesystem::path tool;
    std::filesystem::path record;

    explicit RecordingTool(const std::filesystem::path& folder)
        : tool(folder / "tool" / "lsregister"), record(folder / "tool" / "record") {
        writeFile(tool,
                  "#!/bin/sh\n"
                  "{ printf 'run\\n'; for a in \"$@\"; do printf 'arg:%s\\n' \"$a\"; done; } >> '" +
                      record.string() +
                      "'\n"
                      "echo tool-output-on-stdout\n"
                      "echo tool-output-on-stderr >&2\n"
                      "exit 3\n",
                  std::filesystem::perms(0755));
    }

    // One entry per run, each the run's arguments joined by "|".
    QStringList runs() const {
        if (!std::filesystem::exists(record)) {
            return {};
        }
        QStringList result;
        for (const QString& line : QString::fromStdString(readFile(record)).split('\n')) {
            if (line == "run") {
                result << QString();
            } else if (line.startsWith("arg:")) {
                QString& run = result.last();
                run += (run.isEmpty() ? "" : "|") + line.mid(4);
            }
        }
        return result;
    }
};

}  // namespace testsupport
