#include "registry/orvextab.h"

OrvexTab::OrvexTab(QWidget *parent) : QWidget(parent) {}
