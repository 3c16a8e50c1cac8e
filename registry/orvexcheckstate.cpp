#include "registry/orvexcheckstate.h"

#include <QCoreApplication>

QString orvexCheckStateText(int state)
{
    switch (state) {
    case NotChecked:
        return QCoreApplication::translate("OrvexCheckState", "Not checked.");
    case UnableToCheck:
        return QCoreApplication::translate("OrvexCheckState", "Unable to check.");
    case Checking:
        return QCoreApplication::translate("OrvexCheckState", "Checking...");
    case Checked:
        return QCoreApplication::translate("OrvexCheckState", "Checked.");
    default:
        return QCoreApplication::translate("OrvexCheckState", "Unknown Orvex Check State");
    }
}
