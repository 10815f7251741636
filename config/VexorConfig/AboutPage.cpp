#include "VexorConfig/AboutPage.h"

#include <QGroupBox>
#include <QLabel>
#include <QVBoxLayout>

namespace TesselSoftware::VexorConfig {

CAboutPage::CAboutPage(QWidget* parent) : QWidget(parent) {
    const QString product = "Vexor for Tessel";
    auto* group = new QGroupBox(tr("About %1").arg(product));
    auto* lines = new QVBoxLayout(group);
    auto* title = new QLabel(tr("%1 Console %2").arg(product, "64 bit"));
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    lines->addWidget(title);
    lines->addWidget(new QLabel(tr("Keeps the gateway's anti-virus engine and its definition files current.")));
    lines->addWidget(new QLabel(tr("Version %1").arg(VEXOR_PRODUCT_VERSION)));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addStretch(1);
}

}  // namespace TesselSoftware::VexorConfig
