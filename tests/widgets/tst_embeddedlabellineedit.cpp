#include "testenvironment.h"
#include "widgets/embeddedlabellineedit.h"
#include "widgetsnapshot.h"

#include <QtTest>

#include <QLineEdit>
#include <QVBoxLayout>

namespace {
bool reddish(QRgb p)
{
    return qRed(p) > 150 && qGreen(p) < 120 && qBlue(p) < 120;
}

// The field and a neighbour to move the focus to, in an active window.
struct Window
{
    Window()
    {
        auto *layout = new QVBoxLayout(&window);
        edit = new EmbeddedLabelLineEdit(&window);
        other = new QLineEdit(&window);
        layout->addWidget(edit);
        layout->addWidget(other);
        window.resize(240, 80);
    }
    bool open()
    {
        window.show();
        window.activateWindow();
        other->setFocus();
        return QTest::qWaitForWindowActive(&window) && other->hasFocus();
    }
    bool focusEdit()
    {
        edit->setFocus(Qt::TabFocusReason);
        return edit->hasFocus();
    }
    bool leaveEdit()
    {
        other->setFocus(Qt::TabFocusReason);
        return !edit->hasFocus();
    }
    // Whether the red hint is painted in the field.
    bool hintPainted(const QString &name)
    {
        const QImage image = widgetSnapshot(edit, 1.0, name, Qt::white);
        return countPixels(image, image.rect(), reddish) > 0;
    }

    QWidget window;
    EmbeddedLabelLineEdit *edit = nullptr;
    QLineEdit *other = nullptr;
};
} // namespace

class TestEmbeddedLabelLineEdit : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void defaults()
    {
        EmbeddedLabelLineEdit edit(nullptr);
        QCOMPARE(edit.labelText(), QStringLiteral("Filter"));
        QCOMPARE(edit.labelColor(), QColor(Qt::gray));
        QVERIFY(edit.text().isEmpty());
        QVERIFY(edit.isLabelShown());
        QCOMPARE(edit.placeholderText(), QStringLiteral("Filter"));
        for (QPalette::ColorGroup group :
             {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
            QCOMPARE(edit.palette().color(group, QPalette::PlaceholderText), QColor(Qt::gray));
    }

    // What a filter listening to textChanged sees over a whole session: only the
    // user's typing, never the hint.
    void listenersSeeOnlyTheUsersText()
    {
        Window w;
        QSignalSpy changes(w.edit, &QLineEdit::textChanged);
        w.edit->setLabelText(QStringLiteral("Search"));
        QVERIFY(w.open());

        QVERIFY(w.focusEdit());
        QTest::keyClicks(w.edit, QStringLiteral("ab"));
        QTest::keyClick(w.edit, Qt::Key_Backspace);
        QTest::keyClick(w.edit, Qt::Key_Backspace);
        QVERIFY(w.leaveEdit());
        QVERIFY(w.edit->text().isEmpty());
        QVERIFY(w.focusEdit());
        QVERIFY(w.leaveEdit());

        QStringList seen;
        for (const QList<QVariant> &call : changes)
            seen << call.at(0).toString();
        QCOMPARE(seen, (QStringList{"a", "ab", "a", ""}));
    }

    void hintShowsOnlyWhenEmptyAndUnfocused()
    {
        Window w;
        w.edit->setLabelColor(Qt::red);
        QVERIFY(w.open());
        QVERIFY(w.focusEdit());
        QVERIFY(!w.edit->isLabelShown());
        QVERIFY(!w.hintPainted(QStringLiteral("lineedit-focused-empty")));

        QVERIFY(w.leaveEdit());
        QVERIFY(w.edit->isLabelShown());
        QVERIFY(w.edit->text().isEmpty());
        QVERIFY(w.edit->displayText().isEmpty());
        QVERIFY(w.hintPainted(QStringLiteral("lineedit-hint")));
        for (QPalette::ColorGroup group :
             {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
            QCOMPARE(w.edit->palette().color(group, QPalette::PlaceholderText), QColor(Qt::red));

        // Text of its own hides the hint; clearing it from code brings it back.
        w.edit->setText(QStringLiteral("bash"));
        QVERIFY(!w.hintPainted(QStringLiteral("lineedit-text")));
        w.edit->clear();
        QVERIFY(w.hintPainted(QStringLiteral("lineedit-cleared")));
    }

    // Typing the hint's own words is a filter like any other: it keeps its colour
    // and survives the next focus.
    void typedHintWordsStayTheUsersText()
    {
        Window w;
        w.edit->setLabelColor(Qt::red);
        QVERIFY(w.open());
        QSignalSpy changes(w.edit, &QLineEdit::textChanged);
        QVERIFY(w.focusEdit());
        QTest::keyClicks(w.edit, QStringLiteral("Filter"));
        QVERIFY(w.leaveEdit());
        QCOMPARE(w.edit->text(), QStringLiteral("Filter"));
        QVERIFY(!w.hintPainted(QStringLiteral("lineedit-typed-label")));
        QVERIFY(w.focusEdit());
        QCOMPARE(w.edit->text(), QStringLiteral("Filter"));
        QCOMPARE(changes.count(), 6);
        QCOMPARE(changes.last().at(0).toString(), QStringLiteral("Filter"));
    }

    void newLabelWhileFocusedWaitsForFocusOut()
    {
        Window w;
        QVERIFY(w.open());
        QVERIFY(w.focusEdit());
        w.edit->setLabelText(QStringLiteral("Search"));
        QCOMPARE(w.edit->labelText(), QStringLiteral("Search"));
        QVERIFY(!w.edit->isLabelShown());
        QVERIFY(w.edit->hasFocus());
        QVERIFY(w.leaveEdit());
        QCOMPARE(w.edit->placeholderText(), QStringLiteral("Search"));
    }

    void newColorAppliesAtNextFocusOut()
    {
        Window w;
        QVERIFY(w.open());
        w.edit->setLabelColor(Qt::red);
        QCOMPARE(w.edit->palette().color(QPalette::PlaceholderText), QColor(Qt::gray));
        QVERIFY(w.focusEdit());
        QVERIFY(w.leaveEdit());
        QCOMPARE(w.edit->palette().color(QPalette::PlaceholderText), QColor(Qt::red));
        QVERIFY(w.hintPainted(QStringLiteral("lineedit-red")));
        // The user's own text keeps the normal colour.
        QCOMPARE(w.edit->palette().color(QPalette::Text), w.other->palette().color(QPalette::Text));
    }

    void looksRightFramedAtBothScales()
    {
        Window w;
        w.edit->setLabelColor(Qt::red);
        w.edit->setLabelText(QStringLiteral("Search"));
        // Style sheets re-polish the palette; the hint colour must survive that.
        w.edit->setStyleSheet(
            QStringLiteral("border: 1px solid rgb(160, 160, 160); padding: 2px;"));
        QVERIFY(w.open());
        for (qreal scale : {1.0, 2.0}) {
            const QImage image =
                widgetSnapshot(w.edit, scale, QStringLiteral("lineedit-framed"), Qt::white);
            QVERIFY(countPixels(image, image.rect(), reddish) > 0);
        }
    }
};

QTEST_MAIN(TestEmbeddedLabelLineEdit)
#include "tst_embeddedlabellineedit.moc"
