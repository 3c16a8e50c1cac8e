#pragma once

#include <QIODevice>

// A file descriptor this process was given (standard output) as a write-only
// device that says why a write failed. QFile loses the reason when a write
// ends part-way: a reader that closed its end of the pipe then reads as
// "Unknown error". Each write goes out whole or fails with the system's words
// in errorString(); the descriptor stays open.
class DescriptorWriter : public QIODevice
{
    Q_OBJECT

public:
    explicit DescriptorWriter(int fd, QObject *parent = nullptr);

    // Write-only modes only.
    bool open(OpenMode mode) override;
    bool isSequential() const override { return true; }

    // errno of the last failed write; 0 while every write went out.
    int error() const { return m_error; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    int m_fd;
    int m_error = 0;
};
