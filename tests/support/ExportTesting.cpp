#include "support/ExportTesting.h"
#include "app/Dialogs.h"
#include "support/QtApp.h"

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
                     const QString& format, SavePanelOffer* offer) {
    SavePanel::setResponder([=](SavePanel& panel) {
        QComboBox* chooser = panel.formatChooser();
        if (offer != nullptr) {
            offer->name = panel.nameFieldStringValue();
            offer->folder = panel.directory().path();
            offer->formats.clear();
            for (int i = 0; i < chooser->count(); ++i) {
                offer->formats << chooser->itemText(i);
            }
        }
        panel.setDirectory(QString::fromStdString(folder));
        panel.setNameFieldStringValue(name);
        if (!format.isEmpty()) {
            chooser->setCurrentIndex(chooser->findText(format));
        }
        return response;
    });
}

ExportSession::Status answerAndExport(ExportFlow& flow, const std::function<void()>& start,
                                      const std::string& folder, const QString& name,
                                      const QString& format, SavePanelOffer* offer) {
    answerSavePanel(dialogs::kResponseOK, folder, name, format, offer);
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

} // namespace lento::test
