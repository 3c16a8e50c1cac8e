#include "testenvironment.h"

#include <QStandardPaths>
#include <QtGlobal>

void TestEnvironment::init()
{
    QStandardPaths::setTestModeEnabled(true);
    // CTest gives every test a home of its own; refuse to run against a real one.
    if (!qEnvironmentVariable("HOME").contains(QLatin1String("test-home")))
        qFatal("tests must run through CTest, which gives them a temporary HOME");
}
