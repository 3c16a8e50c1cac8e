#include "files/dataexporter.h"

#include "registry/orvexcheckstate.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
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

QString DataExporter::askForFileName(const QString &folder, const QString &filters,
                                     QString *selectedFilter)
{
    return QFileDialog::getSaveFileName(nullptr, tr("Export"), folder, filters, selectedFilter);
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

    const QStringList filters = formatFilters();
    QString selectedFilter = filters.value(m_exportType - 1);
    const QString fileName =
        askForFileName(folder, filters.join(QStringLiteral(";;")), &selectedFilter);
    if (fileName.isEmpty())
        return false;

    folder = QFileInfo(fileName).absolutePath();
    const int chosen = filters.indexOf(selectedFilter);
    if (chosen >= 0)
        m_exportType = chosen + 1;

    file.setFileName(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        showOpenFailure(fileName);
        return false;
    }
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
