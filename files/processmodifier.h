#pragma once

#include "files/progressinterface.h"

#include <QVariant>

// A worker that changes single properties of rows owned by GUI-side models.
class ProcessModifier : public ProgressInterface
{
    Q_OBJECT

public:
    explicit ProcessModifier(QObject *parent = nullptr);

Q_SIGNALS:
    void setProcessProperty(QString p_packed_data, int p_process_property_enum, QVariant p_data);
    void setOrvexData(QString p_packed_data, int p_orvex_item_property_enum, QVariant p_data);
};
