#include "app/aboutdialog.h"

#include "app/webaddress.h"

#include <QCoreApplication>
#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace {

QLabel *textLabel(const QString &objectName, const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(objectName);
    label->setWordWrap(true);
    label->setTextFormat(Qt::RichText);
    label->setOpenExternalLinks(true);
    label->setTextInteractionFlags(Qt::TextBrowserInteraction);
    return label;
}

} // namespace

AboutDialog::AboutDialog(QWidget *parent) : QDialog(parent, Qt::Tool)
{
    setObjectName(QStringLiteral("About"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(tr("About WinOrvex"));

    auto *logo = new QLabel(this);
    logo->setObjectName(QStringLiteral("label_logo"));
    logo->setPixmap(QPixmap(QStringLiteral(":/logo_red_shadow.png")));
    logo->setAlignment(Qt::AlignTop);

    auto *name = new QLabel(QStringLiteral("WinOrvex"), this);
    name->setObjectName(QStringLiteral("label_name"));
    QFont large = name->font();
    large.setPointSizeF(large.pointSizeF() * 1.6);
    large.setBold(true);
    name->setFont(large);

    auto *version = new QLabel(tr("Version %1").arg(QCoreApplication::applicationVersion()), this);
    version->setObjectName(QStringLiteral("label_version"));

    const QString feedback = WebAddress::feedback().toString();
    const QString feedbackText = feedback.startsWith(QLatin1String("mailto:"))
                                     ? feedback.mid(int(qstrlen("mailto:")))
                                     : feedback;

    auto *text = new QVBoxLayout;
    text->addWidget(name);
    text->addWidget(version);
    text->addWidget(textLabel(
        QStringLiteral("label_notice"),
        tr("Copyright \u00a9 the WinOrvex developers.<br>WinOrvex is free software: you can "
           "redistribute it and/or modify it under the terms of the GNU General Public "
           "License, version 3 or (at your option) any later version. It comes with "
           "ABSOLUTELY NO WARRANTY; see Help \u203a License Agreement."),
        this));
    text->addWidget(textLabel(QStringLiteral("label_feedback"),
                              tr("Please send feedback to <a href=\"%1\">%2</a>.")
                                  .arg(feedback.toHtmlEscaped(), feedbackText.toHtmlEscaped()),
                              this));
    text->addWidget(textLabel(QStringLiteral("label_credits"),
                              tr("The icons and images are WinOrvex's own, drawn for it and "
                                 "shipped with its source code under the same licence."),
                              this));
    text->addStretch();

    auto *layout = new QHBoxLayout(this);
    layout->addWidget(logo);
    layout->addLayout(text, 1);
    setMinimumWidth(460);
}
