#pragma once

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <QtGlobal>

// A folder that stands alone on PATH, holding the pkexec the test wants, for
// the fake's lifetime. Without the real folders a real pkexec can never answer
// instead; the fake's shell script names its tools in full.
class FakePkexec
{
public:
    // An empty script leaves pkexec out: it cannot be found at all.
    explicit FakePkexec(const QByteArray &script) : m_path(qgetenv("PATH"))
    {
        if (!m_folder.isValid())
            qFatal("no temporary folder");
        if (!script.isEmpty()) {
            QFile file(m_folder.filePath(QStringLiteral("pkexec")));
            if (!file.open(QIODevice::WriteOnly) || file.write("#!/bin/sh\n" + script) < 0)
                qFatal("cannot write the fake pkexec");
            file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                QFileDevice::ExeOwner);
        }
        qputenv("PATH", QFile::encodeName(m_folder.path()));
    }
    ~FakePkexec() { qputenv("PATH", m_path); }
    FakePkexec(const FakePkexec &) = delete;
    FakePkexec &operator=(const FakePkexec &) = delete;

private:
    QTemporaryDir m_folder;
    QByteArray m_path;
};
