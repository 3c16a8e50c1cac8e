#include "files/processmodifier.h"

ProcessModifier::ProcessModifier(QObject *parent) : ProgressInterface(parent) {}
