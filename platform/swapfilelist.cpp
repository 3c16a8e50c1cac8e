#include "platform/swapfilelist.h"

#include "platform/filename.h"
#include "platform/kerneltext.h"

QList<QString> SwapFileList::parse(const QByteArray &procSwapsText)
{
    QList<QString> files;
    const QList<QByteArray> lines = procSwapsText.split('\n');
    // The first line is the column header.
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines.at(i).simplified().split(' ');
        // Type, Size, Used and Priority have a fixed form and close the line; the
        // name is what comes before them (a removed file gets " (deleted)" appended).
        if (fields.size() < 5)
            continue;
        const qsizetype typeAt = fields.size() - 4;
        if (fields.at(typeAt) != "file")
            continue;
        QByteArray name = fields.first();
        for (qsizetype f = 1; f < typeAt; ++f)
            name += ' ' + fields.at(f);
        files.append(FileName::fromBytes(unescapeKernelOctal(name)));
    }
    return files;
}

QList<QString> SwapFileList::read(const QString &procSwapsPath)
{
    QByteArray text;
    if (!readKernelTextFile(procSwapsPath, &text,
                            QStringLiteral("SwapFileList::read() %1").arg(procSwapsPath)))
        return {};
    return parse(text);
}
