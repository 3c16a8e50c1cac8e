#pragma once

#include <QObject>

// Base of the items that carry registry data. The property numbers are shared
// with the process property enumeration.
class OrvexItem : public QObject
{
    Q_OBJECT

public:
    enum OrvexItemProperty { OrvexState = 7, LastSeenByOrvex = 10, DetectionRate = 11 };

    explicit OrvexItem(QObject *parent = nullptr);
};
