#include "support/ExportTesting.h"

#include "base/Dialogs.h"
#include "support/CompositionText.h"
#include "support/QtApp.h"
#include <QLabel>

#include <QComboBox>

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <optional>

namespace lento::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TestFolder::TestFolder()
    : m_path((fs::path(LENTO_BINARY_DIR) / "test-output" /
              ::testing::UnitTest::GetInstance()->current_test_info()->name())
                 .string()) {
    fs::remove_all(m_path);
    fs::create_directories(m_path);
}

TestFolder::~TestFolder() {
    SavePanel::setResponder({});
    fs::remove_all(m_path);
}

std::string TestFolder::operator/(const std::string& name) const {
    return (fs::path(m_path) / name).string();
}

int TestFolder::fileCount() const {
    return static_cast<int>(
        std::distance(fs::directory_iterator(m_path), fs::directory_iterator()));
}

void answerSavePanel(int response, const std::string& folder, const QString& name,
                     const QString& format, SavePanelOffer* offer, const QString& quality) {
    SavePanel::setResponder([=](SavePanel& panel) {
        const auto items = [](const QComboBox& box) {
            QStringList texts;
            for (int i = 0; i < box.count(); ++i) {
                texts << box.itemText(i);
            }
            return texts;
        };
        QComboBox* chooser = panel.formatChooser();
        if (offer != nullptr) {
            offer->name = panel.nameFieldStringValue();
            offer->folder = panel.directory().path();
            offer->formats = items(*chooser);
        }
        panel.setDirectory(QString::fromStdString(folder));
        panel.setNameFieldStringValue(name);
        if (!format.isEmpty()) {
            chooser->setCurrentIndex(chooser->findText(format));
        }
        QComboBox* qualities = panel.qualityChooser();
        if (offer != nullptr && qualities != nullptr) {
            offer->qualities = items(*qualities);
            offer->chosenQuality = qualities->currentText();
        }
        if (qualities != nullptr) {
            qualities->setCurrentIndex(quality.isEmpty() ? 0 : qualities->findText(quality));
        }
        if (offer != nullptr && panel.qualityNote() != nullptr) {
            offer->qualityNote =
                panel.qualityNote()->isVisibleTo(&panel) ? panel.qualityNote()->text() : QString();
        }
        return response;
    });
}

ExportSession::Status answerAndExport(ExportFlow& flow, const std::function<void()>& start,
                                      const std::string& folder, const QString& name,
                                      const QString& format, SavePanelOffer* offer,
                                      const QString& quality) {
    answerSavePanel(dialogs::kResponseOK, folder, name, format, offer, quality);
    std::optional<ExportSession::Status> ended;
    const QMetaObject::Connection connection =
        QObject::connect(&flow, &ExportFlow::exportFinished,
                         [&](ExportSession::Status status, const QString&) { ended = status; });
    start();
    EXPECT_TRUE(waitUntil([&] { return ended.has_value(); }, 60s)) << "the export never ended";
    QObject::disconnect(connection);
    SavePanel::setResponder({});
    return ended.value_or(ExportSession::Status::Unknown);
}

RecordedExports::RecordedExports() {
    ExportFlow::setPerformer([this](const ExportOrder& order) {
        m_orders.push_back(order);
        return ExportSession::Status::Completed;
    });
}

RecordedExports::~RecordedExports() {
    ExportFlow::setPerformer({});
}

std::string RecordedExports::track(MediaType type) const {
    if (m_orders.empty() || !m_orders.back().composition) {
        return "none";
    }
    return trackText(*m_orders.back().composition, type);
}

} // namespace lento::test
