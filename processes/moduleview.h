#pragma once

#include <QTableView>

// The table of the modules a process has loaded, as the process inspector
// shows it: rows as high as a line of the application's font plus 8 pixels,
// columns the user may reorder.
class ModuleView : public QTableView
{
    Q_OBJECT

public:
    explicit ModuleView(QWidget *parent = nullptr);
};
