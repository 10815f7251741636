// CAboutPage: the "About" tab: the product, its console and its version.
#pragma once

#include <QWidget>

namespace TesselSoftware::VexorConfig {

class CAboutPage : public QWidget {
    Q_OBJECT

public:
    explicit CAboutPage(QWidget* parent = nullptr);
};

}  // namespace TesselSoftware::VexorConfig
