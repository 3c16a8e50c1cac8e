#include "files/dataexporter.h"

#include "platform/clock.h"
#include "registry/orvexcheckstate.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStandardPaths>
#include <QTextStream>

namespace {
// The folder of the previous export, for as long as the process runs.
QString &rememberedFolder()
{
    static QString folder;
    return folder;
}

void writeLine(QTextStream &stream, const QStringList &fields, const QString &separator)
{
    QStringList quoted;
    quoted.reserve(fields.size());
    for (const QString &field : fields)
        quoted.append(DataExporter::quoteField(field, separator));
    stream << quoted.join(separator) << '\n';
}
} // namespace

DataExporter::DataExporter(QObject *parent) : QObject(parent) {}

QStringList DataExporter::formatFilters()
{
    return {tr("Tab Delimited Text (*.txt)"), tr("Comma Separated Values (*.csv)"),
            tr("Pipe Delimited Text (*.txt)"), tr("Space Delimited Text (*.txt)")};
}

QString DataExporter::separator() const
{
    switch (m_exportType) {
    case TabDelimited:
        return QStringLiteral("\t");
    case CommaSeparated:
        return QStringLiteral(",");
    case PipeDelimited:
        return QStringLiteral("|");
    case SpaceDelimited:
        return QStringLiteral(" ");
    default:
        return QString();
    }
}

QString DataExporter::quoteField(const QString &field, const QString &separator)
{
    const bool needsQuotes = (!separator.isEmpty() && field.contains(separator)) ||
                             field.contains(u'"') || field.contains(u'\n') || field.contains(u'\r');
    if (!needsQuotes)
        return field;
    QString quoted = field;
    quoted.replace(u'"', QStringLiteral("\"\""));
    return u'"' + quoted + u'"';
}

QString DataExporter::askForFileName(const QString &proposed, const QString &filters,
                                     QString *selectedFilter)
{
    return QFileDialog::getSaveFileName(nullptr, tr("Export"), proposed, filters, selectedFilter);
}

bool DataExporter::confirmOverwrite(const QString &fileName)
{
    return QMessageBox::question(
               nullptr, tr("Export"),
               tr("The file '%1' already exists.\n\nDo you want to replace it?").arg(fileName),
               QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

QString DataExporter::filterExtension(const QString &filter)
{
    static const QRegularExpression pattern(QStringLiteral("\\(\\*\\.([^)\\s]+)\\)"));
    return pattern.match(filter).captured(1);
}

QString DataExporter::proposedFileName(const QString &folder) const
{
    const QString name =
        tr("WinOrvex Files %1").arg(Clock::currentDateTime().date().toString(Qt::ISODate));
    const QString extension = filterExtension(formatFilters().value(m_exportType - 1));
    return QDir(folder).filePath(extension.isEmpty() ? name : name + u'.' + extension);
}

void DataExporter::showOpenFailure(const QString &fileName)
{
    QMessageBox::warning(nullptr, tr("Could not open file."),
                         tr("The file '%1' could not be opened for writing.\n\nMake sure you have "
                            "write permission to this file and in this directory.")
                             .arg(fileName));
}

bool DataExporter::openExportFile(QFile &file)
{
    QString &folder = rememberedFolder();
    if (folder.isEmpty())
        folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);

    m_fileName.clear();
    const QStringList filters = formatFilters();
    QString selectedFilter = filters.value(m_exportType - 1);
    QString fileName = askForFileName(proposedFileName(folder), filters.join(QStringLiteral(";;")),
                                      &selectedFilter);
    if (fileName.isEmpty())
        return false;

    const int chosen = filters.indexOf(selectedFilter);
    if (chosen >= 0)
        m_exportType = chosen + 1;
    // "export" saved as CSV becomes "export.csv", so that it opens as one. A
    // name that exists as typed is the file the user chose in the dialog.
    if (QFileInfo(fileName).suffix().isEmpty() && !QFileInfo::exists(fileName)) {
        const QString extension = filterExtension(filters.value(m_exportType - 1));
        if (!extension.isEmpty()) {
            if (!fileName.endsWith(u'.'))
                fileName += u'.';
            fileName += extension;
            if (QFileInfo::exists(fileName) && !confirmOverwrite(fileName))
                return false;
        }
    }
    folder = QFileInfo(fileName).absolutePath();

    file.setFileName(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        showOpenFailure(fileName);
        return false;
    }
    m_fileName = fileName;
    return true;
}

void DataExporter::exportItems(QSqlQuery &query, QTextStream &stream)
{
    if (m_exportType == NoExport)
        return;
    const QString sep = separator();
    if (sep.isEmpty()) {
        qWarning() << "DataExporter::exportItems() hit the default export type case!";
        return;
    }

    stream << QStringLiteral("#WinOrvex version %1").arg(QCoreApplication::applicationVersion())
           << '\n';
    QStringList titles{tr("Name"),
                       tr("MD5"),
                       tr("SHA-1"),
                       tr("Path"),
                       tr("Size"),
                       tr("Detection Rate"),
                       tr("Last Seen By Orvex"),
                       tr("Check State"),
                       tr("Status")};
    titles.first().prepend(u'#');
    writeLine(stream, titles, sep);

    const QSqlRecord record = query.record();
    const int name = record.indexOf(QStringLiteral("name"));
    const int md5 = record.indexOf(QStringLiteral("md5"));
    const int sha1 = record.indexOf(QStringLiteral("sha1"));
    const int path = record.indexOf(QStringLiteral("path"));
    const int size = record.indexOf(QStringLiteral("size"));
    const int rate = record.indexOf(QStringLiteral("detection_rate"));
    const int lastSeen = record.indexOf(QStringLiteral("last_seen"));
    const int checkState = record.indexOf(QStringLiteral("check_state"));

    while (query.next()) {
        const int state = query.value(checkState).toInt();
        const QVariant rateValue = query.value(rate);
        QString status;
        if (state != Checked)
            status = tr("Unknown");
        else if (rateValue.toInt() >= 1) // the table's own malicious test
            status = tr("Malware detected.");
        else
            status = tr("Malware not detected.");

        writeLine(stream,
                  {query.value(name).toString(), query.value(md5).toString(),
                   query.value(sha1).toString(), query.value(path).toString(),
                   query.value(size).toString(),
                   rateValue.isNull() ? QString() : rateValue.toString(),
                   query.value(lastSeen).toString(), orvexCheckStateText(state), status},
                  sep);
    }
}
