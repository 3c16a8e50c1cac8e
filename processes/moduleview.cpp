#include "processes/moduleview.h"

#include <QApplication>
#include <QFontMetrics>
#include <QHeaderView>

ModuleView::ModuleView(QWidget *parent) : QTableView(parent)
{
    verticalHeader()->setDefaultSectionSize(QFontMetrics(QApplication::font()).height() + 8);
    horizontalHeader()->setSectionsMovable(true);
}
