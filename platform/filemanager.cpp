#include "platform/filemanager.h"

#include "platform/filename.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDebug>
#include <QProcess>

namespace {
// GUI thread only, like the view that reveals.
std::function<void(const QString &)> &testReveal()
{
    static std::function<void(const QString &)> reveal;
    return reveal;
}

void openFolder(const QString &path)
{
    QProcess process;
    process.setProgram(QStringLiteral("xdg-open"));
    process.setArguments(folderOpenArguments(path));
    process.setStandardInputFile(QProcess::nullDevice());
    if (!process.startDetached())
        qWarning().noquote() << QStringLiteral("revealInFileManager() xdg-open failed for '%1': %2")
                                    .arg(FileName::readable(path), process.errorString());
}
} // namespace

QVariantList showItemsArguments(const QString &path)
{
    // Percent-encoded from the name's bytes, so names with blanks, "#", "?",
    // newlines or bytes that are not UTF-8 reach the file manager intact.
    return QVariantList{QStringList{FileName::toLocalFileUrl(path)}, QString()};
}

QStringList folderOpenArguments(const QString &path)
{
    const QString absolute = FileName::absolute(path);
    const qsizetype slash = absolute.lastIndexOf(u'/');
    const QString folder = slash <= 0 ? QStringLiteral("/") : absolute.left(slash);
    // An absolute folder never starts with "-", so xdg-open cannot take it for
    // an option. A program's arguments are text, which cannot carry every
    // byte of a name: such a folder goes as a file: URL, which can.
    if (FileName::isPlain(folder))
        return QStringList{folder};
    return QStringList{FileName::toLocalFileUrl(folder)};
}

void revealInFileManager(const QString &path)
{
    if (testReveal()) {
        testReveal()(path);
        return;
    }

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qWarning().noquote() << QStringLiteral("revealInFileManager() no session bus for '%1': %2")
                                    .arg(FileName::readable(path), bus.lastError().message());
        openFolder(path);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call.setArguments(showItemsArguments(path));
    // Asynchronous: a file manager that is slow to start must not freeze the window.
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), QCoreApplication::instance());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [path](QDBusPendingCallWatcher *finished) {
                         if (finished->isError()) {
                             qWarning().noquote()
                                 << QStringLiteral(
                                        "revealInFileManager() ShowItems failed for '%1': %2")
                                        .arg(FileName::readable(path), finished->error().message());
                             openFolder(path);
                         }
                         finished->deleteLater();
                     });
}

void setRevealInFileManagerForTesting(std::function<void(const QString &)> reveal)
{
    testReveal() = std::move(reveal);
}
