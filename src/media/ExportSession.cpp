#include "media/ExportSession.h"

#include "media/ExportJob.h"
#include "media/ExportPipeline.h"
#include "media/OutputFile.h"

#include <cerrno>
#include <system_error>
#include <thread>
#include <utility>

namespace lento {

std::string ExportSession::warning() const {
    return planExport(*m_composition, m_timeRange).warning;
}

std::unique_ptr<ExportSession>
ExportSession::exportSessionWithAsset(std::shared_ptr<const Composition> composition,
                                      const std::string& presetName) {
    const ExportPreset* preset = exportPresetNamed(presetName);
    if (preset == nullptr || !composition) {
        return nullptr;
    }
    return std::make_unique<ExportSession>(std::move(composition), *preset);
}

ExportSession::ExportSession(std::shared_ptr<const Composition> composition,
                             const ExportPreset& preset)
    : m_composition(std::move(composition)), m_preset(preset) {
    if (!m_preset.fileTypes.empty()) {
        m_outputFileType = m_preset.fileTypes.front();
    }
}

ExportSession::~ExportSession() {
    m_cancelled = true;
    if (m_worker.joinable()) {
        if (m_worker.get_id() == std::this_thread::get_id()) {
            // Destroyed from inside its own completion: the worker touches nothing of the
            // session once the completion has returned, so it may end on its own.
            m_worker.detach();
        } else {
            m_worker.join();
        }
    }
}

StageOutcome ExportSession::outcome() const {
    std::lock_guard lock(m_outcomeMutex);
    return m_outcome;
}

std::string ExportSession::error() const {
    const StageOutcome ended = outcome();
    return ended.isFailure() ? ended.message : std::string();
}

void ExportSession::exportAsynchronouslyWithCompletionHandler(std::function<void()> completion) {
    Status expected = Status::Unknown;
    if (!m_status.compare_exchange_strong(expected, Status::Waiting)) {
        return;
    }
    m_completion = std::move(completion);
    try {
        m_worker = std::thread([this] { run(); });
    } catch (const std::system_error& failure) {
        settle(StageOutcome::failed(std::string("cannot start the export: ") +
                                        failure.code().message(),
                                    AVERROR(failure.code().value())));
        end();
    }
}

void ExportSession::cancelExport() {
    m_cancelled = true;
}

void ExportSession::waitUntilFinished() {
    Ending& ending = *m_ending;
    std::unique_lock lock(ending.mutex);
    ending.signal.wait(lock, [&ending] { return ending.finished; });
}

void ExportSession::raiseProgress(float value) {
    float current = m_progress.load();
    while (value > current && !m_progress.compare_exchange_weak(current, value)) {
    }
}

namespace {

// A failure of the output file, with the system's error where one was left.
StageOutcome systemFailure(std::string message) {
    const int code = errno;
    return StageOutcome::failed(std::move(message), code != 0 ? AVERROR(code) : 0);
}

} // namespace

void ExportSession::run() {
    m_status = Status::Exporting;
    settle(writeMovie());
    end();
}

void ExportSession::settle(const StageOutcome& outcome) {
    {
        std::lock_guard lock(m_outcomeMutex);
        m_outcome = outcome;
    }
    switch (outcome.kind) {
    case StageOutcome::Kind::Succeeded:
        raiseProgress(1.0f);
        m_status = Status::Completed;
        break;
    case StageOutcome::Kind::Stopped:
        m_status = Status::Cancelled;
        break;
    case StageOutcome::Kind::Failed:
        m_status = Status::Failed;
        break;
    }
}

StageOutcome ExportSession::writeMovie() {
    // Made before any work, so that a destination that cannot be written fails at once.
    OutputFile output;
    std::string error;
    errno = 0;
    if (!output.open(m_outputPath, error)) {
        return systemFailure(error);
    }
    ExportJob job{*m_composition,
                  m_preset,
                  m_timeRange,
                  m_outputFileType,
                  output.writePath(),
                  m_cancelled,
                  [this](float value) { raiseProgress(value); }};
    // An unfinished movie is never named: the output's destructor throws it away.
    const StageOutcome outcome = job.run();
    if (!outcome.ok()) {
        return outcome;
    }
    if (m_cancelled) {
        return StageOutcome::stopped();
    }
    errno = 0;
    if (!output.commit(error)) {
        return systemFailure(error);
    }
    return StageOutcome::succeeded();
}

void ExportSession::end() {
    // The completion may destroy the session: hold what the waiters need, and the completion
    // itself, outside it, and touch no member once the completion has been called.
    const std::shared_ptr<Ending> ending = m_ending;
    const std::function<void()> completion = std::move(m_completion);
    if (completion) {
        completion();
    }
    {
        std::lock_guard lock(ending->mutex);
        ending->finished = true;
    }
    ending->signal.notify_all();
}

} // namespace lento
