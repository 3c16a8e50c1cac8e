#include "childprograms.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QStandardPaths>

#include <cstdio>

ProgramCopy ProgramCopy::make(const QString &folder, const QString &name, const QByteArray &tag)
{
    ProgramCopy copy;
    const QString sleep = QStandardPaths::findExecutable(QStringLiteral("sleep"));
    QFile original(sleep);
    if (sleep.isEmpty() || !original.open(QIODevice::ReadOnly))
        return copy;
    const QByteArray bytes = original.readAll() + tag;
    const QString path = folder + u'/' + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return copy;
    file.close();
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                             QFileDevice::ExeOwner | QFileDevice::ReadOther |
                             QFileDevice::ExeOther))
        return copy;
    copy.path = path;
    copy.bytes = bytes;
    copy.md5 =
        QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
    copy.sha1 =
        QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
    return copy;
}

bool ProgramCopy::replace(const QString &path, const QByteArray &bytes)
{
    const QString next = path + QStringLiteral(".next");
    QFile file(next);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return false;
    file.close();
    return std::rename(QFile::encodeName(next).constData(), QFile::encodeName(path).constData()) ==
           0;
}

namespace {
QString hex(const QByteArray &bytes, QCryptographicHash::Algorithm algorithm)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, algorithm).toHex());
}
} // namespace

LibraryCopy LibraryCopy::make(const QString &folder, const QString &name, const QByteArray &tag)
{
    LibraryCopy copy;
    QFile original(QStringLiteral(WINORVEX_TEST_MODULE));
    if (!original.open(QIODevice::ReadOnly))
        return copy;
    const QByteArray bytes = original.readAll() + tag;
    const QString path = folder + u'/' + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return copy;
    file.close();
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                             QFileDevice::ExeOwner | QFileDevice::ReadOther |
                             QFileDevice::ExeOther))
        return copy;
    copy.path = path;
    copy.bytes = bytes;
    copy.md5 = hex(bytes, QCryptographicHash::Md5);
    copy.sha1 = hex(bytes, QCryptographicHash::Sha1);
    return copy;
}

QString Sleepers::loaderPath()
{
    return QStringLiteral(WINORVEX_MODULE_LOADER);
}

quint32 Sleepers::startLoader(const QStringList &libraries)
{
    auto child = std::make_unique<QProcess>();
    child->start(loaderPath(), libraries);
    if (!child->waitForStarted())
        return 0;
    // The line comes once every library is mapped.
    while (!child->canReadLine()) {
        if (!child->waitForReadyRead(30000)) {
            qWarning().noquote() << "module loader:" << child->readAllStandardError();
            child->kill();
            child->waitForFinished();
            return 0;
        }
    }
    const quint32 pid = quint32(child->processId());
    m_children.push_back(std::move(child));
    return pid;
}

Sleepers::~Sleepers()
{
    stopAll();
}

quint32 Sleepers::start(const QString &program, const QStringList &arguments)
{
    auto child = std::make_unique<QProcess>();
    child->start(program, arguments);
    if (!child->waitForStarted())
        return 0;
    const quint32 pid = quint32(child->processId());
    m_children.push_back(std::move(child));
    return pid;
}

void Sleepers::stop(quint32 pid)
{
    for (auto &child : m_children) {
        if (quint32(child->processId()) == pid) {
            child->kill();
            child->waitForFinished();
        }
    }
}

void Sleepers::stopAll()
{
    for (auto &child : m_children) {
        if (child->state() != QProcess::NotRunning) {
            child->kill();
            child->waitForFinished();
        }
    }
    m_children.clear();
}

QString Sleepers::record(quint32 pid, const QString &program)
{
    // The kernel keeps the first 15 bytes of the file name as the command name.
    const QString name =
        QString::fromUtf8(QFile::encodeName(QFileInfo(program).fileName()).left(15));
    return QStringLiteral("%1|%2|%3").arg(pid).arg(name).arg(QCoreApplication::applicationPid());
}

namespace {
LogCapture *g_capture = nullptr;
}

LogCapture::LogCapture()
{
    g_capture = this;
    m_previous = qInstallMessageHandler(&LogCapture::handle);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
    g_capture = nullptr;
}

void LogCapture::handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (LogCapture *capture = g_capture) {
        {
            const QMutexLocker locker(&capture->m_mutex);
            capture->m_lines << message;
        }
        if (capture->m_previous)
            capture->m_previous(type, context, message);
    }
}

QStringList LogCapture::lines() const
{
    const QMutexLocker locker(&m_mutex);
    return m_lines;
}

int LogCapture::count(const QString &part) const
{
    const QMutexLocker locker(&m_mutex);
    int n = 0;
    for (const QString &line : m_lines)
        n += line.contains(part) ? 1 : 0;
    return n;
}
