#include "registry/orvexitem.h"

OrvexItem::OrvexItem(QObject *parent) : QObject(parent) {}
