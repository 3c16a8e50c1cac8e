#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QFile;
class QSqlQuery;
class QTextStream;

// Writes the file results table to a delimited text file that the user chooses.
// Every field is quoted as RFC 4180 does when it holds the separator, a double
// quote or a line break, so a path with a comma stays one field.
class DataExporter : public QObject
{
    Q_OBJECT

public:
    enum ExportType {
        NoExport = 0,
        TabDelimited = 1,
        CommaSeparated = 2,
        PipeDelimited = 3,
        SpaceDelimited = 4
    };

    explicit DataExporter(QObject *parent = nullptr);

    int exportType() const { return m_exportType; }
    void setExportType(int type) { m_exportType = type; }

    // The save dialog's filters, in export type order (type 1 first).
    static QStringList formatFilters();

    // Asks for the destination and the format and opens the file (write-only,
    // truncated, text). A name typed without an extension gets the chosen
    // format's. False when the user cancels or the file cannot be opened; the
    // user has then been told.
    bool openExportFile(QFile &file);
    // The file the last openExportFile() opened; empty when it opened none.
    QString fileName() const { return m_fileName; }

    // What the save dialog proposes: a file in `folder` named for the table and
    // the day, with the current format's extension.
    QString proposedFileName(const QString &folder) const;
    // The extension a filter names ("csv" for "Comma Separated Values (*.csv)").
    static QString filterExtension(const QString &filter);

    // The header lines, then one line per row of query ("SELECT *" on the table).
    void exportItems(QSqlQuery &query, QTextStream &stream);

    // field as it stands, or in double quotes with inner quotes doubled when it
    // holds the separator, a double quote or a line break.
    static QString quoteField(const QString &field, const QString &separator);

protected:
    // The user's choice of file (empty on cancel) and of filter, starting from
    // the proposed file. Tests answer here instead of a dialog.
    virtual QString askForFileName(const QString &proposed, const QString &filters,
                                   QString *selectedFilter);
    virtual void showOpenFailure(const QString &fileName);
    // Asked when the extension added to the typed name makes it the name of a
    // file that exists: the dialog only asked about the name as typed.
    virtual bool confirmOverwrite(const QString &fileName);

private:
    QString separator() const;

    int m_exportType = CommaSeparated;
    QString m_fileName;
};
