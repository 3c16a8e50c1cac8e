#pragma once

#include <QDomDocument>
#include <QDomElement>
#include <QString>
#include <QVariant>
#include <QWidget>

// One page of the preferences dialog. It keeps its settings in an element of
// its own under the root of the shared preferences document.
class PreferencePane : public QWidget
{
    Q_OBJECT

public:
    // Numbers carried by setPreference().
    enum Preference { AutomaticUpdateCheck = 0 };

    PreferencePane(const QString &elementName, QWidget *parent = nullptr);

    QString elementName() const { return m_elementName; }
    void setDomDocument(const QDomDocument &document) { m_document = document; }

    // The first child of the root with that name; null when there is none.
    QDomElement currentElement(const QString &name);
    // A new empty element with that name, in place of the old one or appended
    // to the root.
    QDomElement replaceElement(const QString &name);

Q_SIGNALS:
    void setPreference(int preference, QVariant value);

public Q_SLOTS:
    // Puts the controls into effect.
    virtual bool apply();
    // Writes the controls into the pane's element.
    virtual bool save() = 0;
    // Fills the controls from the document. At start-up (dialogOpening false)
    // every value is taken from the document and announced; when the dialog
    // opens the live state is shown and nothing is announced.
    virtual bool load(const QDomDocument &document, bool dialogOpening);

protected:
    QDomDocument m_document;

private:
    QString m_elementName;
};
