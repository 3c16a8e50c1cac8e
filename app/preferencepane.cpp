#include "app/preferencepane.h"

#include <QDebug>

PreferencePane::PreferencePane(const QString &elementName, QWidget *parent)
    : QWidget(parent), m_elementName(elementName)
{
}

QDomElement PreferencePane::currentElement(const QString &name)
{
    const QDomElement element = m_document.documentElement().firstChildElement(name);
    qDebug().noquote() << QStringLiteral("PreferencePane::currentElement( %1 ) called and element "
                                         "is %2")
                              .arg(name, element.isNull() ? QStringLiteral("null")
                                                          : QStringLiteral("not null"));
    return element;
}

QDomElement PreferencePane::replaceElement(const QString &name)
{
    qDebug().noquote() << QStringLiteral("PreferencePane::replaceElement( %1 ) called").arg(name);
    QDomElement root = m_document.documentElement();
    if (root.isNull())
        return QDomElement();
    QDomElement element = m_document.createElement(name);
    const QDomElement old = root.firstChildElement(name);
    if (old.isNull()) {
        root.appendChild(element);
    } else if (root.replaceChild(element, old).isNull()) {
        qWarning().noquote() << QStringLiteral(
                                    "PreferencePane::replaceElement( %1 ) got a null replacement")
                                    .arg(name);
    }
    return element;
}

bool PreferencePane::apply()
{
    return false;
}

bool PreferencePane::load(const QDomDocument &document, bool)
{
    qDebug() << "PreferencePane::load() called";
    m_document = document;
    return false;
}
