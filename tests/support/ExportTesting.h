#pragma once

#include "export/ExportFlow.h"

#include <QStringList>

#include <functional>
#include <string>
#include <vector>

namespace lento::test {

// An empty folder of the running test's name under the build tree's test-output, removed with it.
class TestFolder {
public:
    TestFolder();
    ~TestFolder();
    TestFolder(const TestFolder&) = delete;
    TestFolder& operator=(const TestFolder&) = delete;

    const std::string& path() const { return m_path; }
    // Path of `name` in the folder.
    std::string operator/(const std::string& name) const;
    int fileCount() const;

private:
    std::string m_path;
};

// What the save panel proposed before it was answered.
struct SavePanelOffer {
    QString name;
    QStringList formats;
    QString folder;
    QStringList qualities;
    QString chosenQuality; // before the answer's choice
    QString qualityNote;   // the note shown under the quality row after the answer's choice
};

// Makes every save panel answer `response` with `name` in `folder`, choosing `format` (when
// given) and `quality` (the first when none is given: the panel proposes the last one exported
// at) after typing the name, and note what it offered in `offer` (when given).
void answerSavePanel(int response, const std::string& folder, const QString& name,
                     const QString& format = {}, SavePanelOffer* offer = nullptr,
                     const QString& quality = {});

// Answers the save panel as above with OK, runs `start` and waits until `flow` has finished the
// export; the status it ended with, Unknown if it did not end.
ExportSession::Status answerAndExport(ExportFlow& flow, const std::function<void()>& start,
                                      const std::string& folder, const QString& name,
                                      const QString& format = {}, SavePanelOffer* offer = nullptr,
                                      const QString& quality = {});

// While it lives, every export flow records what it would export and ends as Completed, without
// encoding: the editors' choices are seen in the orders.
class RecordedExports {
public:
    RecordedExports();
    ~RecordedExports();
    RecordedExports(const RecordedExports&) = delete;
    RecordedExports& operator=(const RecordedExports&) = delete;

    const std::vector<ExportOrder>& orders() const { return m_orders; }
    // The last order's track of `type`, laid out as "start-end<source " per placed segment, in
    // seconds; "none" without such a track or without an order.
    std::string track(MediaType type) const;

private:
    std::vector<ExportOrder> m_orders;
};

} // namespace lento::test
