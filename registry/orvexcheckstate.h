#pragma once

#include <QString>

// Check states kept in the tables' state columns.
enum OrvexCheckState { NotChecked = 1, UnableToCheck = 2, Checking = 3, Checked = 4 };

// The words for a state, as the export writes them.
QString orvexCheckStateText(int state);
