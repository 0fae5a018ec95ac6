// An indicator lamp with its label, as the main panel's CPU and flash indicators: a round
// lamp that is plainly lit (bright green) or off (dark grey), sized from the font so it
// reads the same at any screen density.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

namespace vbc::platform {

class QtLed : public QWidget {
    Q_OBJECT
    Q_PROPERTY(bool lit READ IsLit WRITE SetLit)
    Q_PROPERTY(QString label READ Label WRITE SetLabel)

  public:
    explicit QtLed(QWidget* parent = nullptr);

    bool IsLit() const { return lit_; }
    void SetLit(bool lit);
    QString Label() const { return label_; }
    void SetLabel(const QString& label);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void UpdateAccessibleText();
    int LampDiameter() const;

    bool lit_ = false;
    QString label_;
};

}  // namespace vbc::platform
