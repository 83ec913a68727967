#pragma once

#include <QTemporaryDir>
#include <filesystem>

namespace testsupport {

// A temporary folder that stands in for the user's home for as long as it lives: HOME and
// XDG_DATA_HOME point into it (and are restored afterwards), so Trash moves and the user's
// applications folder stay inside the test.
class TempHome {
public:
    // `pattern` as for QTemporaryDir; a short one gives paths as long as a real home's.
    explicit TempHome(const QString& pattern = {});
    ~TempHome();  // not copied: QTemporaryDir is not

    std::filesystem::path path() const;
    std::filesystem::path trashFiles() const;  // created by the constructor

private:
    QTemporaryDir dir_;
    QByteArray oldHome_;
    QByteArray oldDataHome_;
};

// The path of a QTemporaryDir as std::filesystem::path.
std::filesystem::path pathOf(const QTemporaryDir& dir);

// A tmpfs mounted for the duration of a test (root only). `ok()` is false, with `whyNot()` saying
// why, where mounting is not permitted, so the test can skip with that reason.
class TmpfsMount {
public:
    enum class Access { readWrite, readOnly, noPrograms };  // noPrograms: mounted noexec
    TmpfsMount(const std::filesystem::path& where, std::size_t sizeBytes, Access access);
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;

    bool ok() const { return mounted_; }
    const QByteArray& whyNot() const { return whyNot_; }

private:
    std::filesystem::path where_;
    bool mounted_ = false;
    QByteArray whyNot_;
};

}  // namespace testsupport
