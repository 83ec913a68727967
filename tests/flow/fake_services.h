#pragma once

#include <QFuture>
#include <QPromise>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <qcoro/qcorotimer.h>

#include "application_identity.h"
#include "installer_services.h"

namespace testsupport {

// The real services with every part a test may want to watch or replace made observable.
// Real running instances are looked up under a test's own identifier instead of the
// application's, so that tests never see or signal a real copy, nor each other's instances.
class FakeServices : public SystemServices {
public:
    std::string runningIdentifier;  // empty: report no instance at all
    // When set, stands for instances that are reported instead, and that quit when asked to.
    std::optional<std::vector<RunningApplication>> fixedRunning;
    int runningQueries = 0;
    std::vector<RunningApplication> terminated;
    std::vector<RunningApplication> forceTerminated;

    int alertResponse = alertFirstButtonReturn;
    std::vector<AlertContent> alerts;

    // Pauses take 10 ms of real time unless realPauses is set; cancelledPauses makes every pause
    // end with PauseCancelled. onPause runs at the start of the n-th pause (from 1).
    bool realPauses = false;
    bool cancelledPauses = false;
    std::vector<std::chrono::nanoseconds> pauses;
    std::function<void(int)> onPause;

    // Starts are only recorded, and fail with openFailure when it is set.
    std::exception_ptr openFailure;
    std::vector<std::pair<std::filesystem::path, OpenConfiguration>> opened;

    std::filesystem::path tool = "/nonexistent/registration-tool";
    std::optional<std::filesystem::path> resources;
    ApplicationsFolders folders{"/nonexistent/Applications", "/nonexistent/home/Applications"};

    std::vector<RunningApplication> runningApplications(std::string_view identifier) override {
        ++runningQueries;
        if (fixedRunning) {
            return *fixedRunning;
        }
        if (identifier != applicationBundleIdentifier || runningIdentifier.empty()) {
            return {};
        }
        return SystemServices::runningApplications(runningIdentifier);
    }
    void terminate(const RunningApplication& application) override {
        terminated.push_back(application);
        if (fixedRunning) {
            fixedRunning->clear();
            return;
        }
        SystemServices::terminate(application);
    }
    void forceTerminate(const RunningApplication& application) override {
        forceTerminated.push_back(application);
        SystemServices::forceTerminate(application);
    }
    int runModalAlert(const AlertContent& content) override {
        alerts.push_back(content);
        return alertResponse;
    }
    QCoro::Task<> pause(std::chrono::nanoseconds duration) override {
        pauses.push_back(duration);
        if (onPause) {
            onPause(static_cast<int>(pauses.size()));
        }
        if (cancelledPauses) {
            throw PauseCancelled();
        }
        if (realPauses) {
            co_await SystemServices::pause(duration);
        } else {
            co_await QCoro::sleepFor(std::chrono::milliseconds(10));
        }
    }
    QFuture<void> openApplication(std::filesystem::path bundle,
                                  OpenConfiguration configuration) override {
        opened.emplace_back(std::move(bundle), configuration);
        QPromise<void> promise;
        promise.start();
        if (openFailure) {
            promise.setException(openFailure);
        }
        promise.finish();
        return promise.future();
    }
    std::filesystem::path registrationToolPath() override { return tool; }
    std::optional<std::filesystem::path> resourceFolder() override { return resources; }
    ApplicationsFolders applicationsFolders() override { return folders; }
};

}  // namespace testsupport

namespace testsupport {

// Runs a task to its end in a nested event loop and hands back its result or rethrows its error.
// (QCoro::waitFor alone never returns when the task throws.)
inline void runToEnd(QCoro::Task<> task) {
    std::exception_ptr failure;
    QCoro::waitFor([](QCoro::Task<> work, std::exception_ptr& error) -> QCoro::Task<> {
        try {
            co_await work;
        } catch (...) {
            error = std::current_exception();
        }
    }(std::move(task), failure));
    if (failure) {
        std::rethrow_exception(failure);
    }
}

}  // namespace testsupport
