// Exports of the whole edit and of the selected section, each of the edit as it is when asked.
#include "edit/SectionComposition.h"
#include "export/ExportFormats.h"
#include "sections/SectionEditController.h"

#include <QFileInfo>

namespace lento {

void SectionEditController::actionFullExport() {
    // Blocked sections would make a wrong movie (a reversed one plays its stretch twice).
    if (m_sectionErrors > 0) {
        return;
    }
    // The edit is taken now: later edits do not change this export.
    const EditCut cut = EditCut::ofSections(sectionObjects(), m_videoTotalDuration);
    beginExport([cut](const std::shared_ptr<Asset>& asset) {
        ExportJob job;
        job.makeComposition = [cut, asset] { return makeComposition(*asset, cut); };
        job.log = ExportJob::Log::AllPresets;
        return job;
    });
}

void SectionEditController::actionSectionExport() {
    const int64_t row = selectedRow();
    if (row < 0 || row >= m_document->sectionCount()) {
        return;
    }
    // The section as it is now: later edits do not change this export.
    const SectionState section = m_document->section(static_cast<int>(row));
    // The panel proposes the section's own name.
    const QString extension = QFileInfo(videoPath().toLocalFile()).suffix();
    const QString name = exportedMovieName(videoPath().toLocalFile(), section.name);
    beginExport(
        [section](const std::shared_ptr<Asset>& asset) {
            ExportJob job;
            if (!(section.start < section.end)) {
                job.error = tr("The section ends before it starts.");
            } else {
                job.composition = makeComposition(*asset, EditCut::ofSection(section));
            }
            return job;
        },
        QStringLiteral("%1.%2").arg(name, extension), makeExtensionArray(extension));
}

} // namespace lento
