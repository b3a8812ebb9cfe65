#include "control/qt/talvenor_widget.h"

#include <QContextMenuEvent>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/clock.h"

namespace control {

CZembrinWidget::CZembrinWidget(QWidget* parent) : QWidget(parent) {
  resize(kImageWidth, kImageHeight);  // the initial extent: one camera picture
  setAttribute(Qt::WA_OpaquePaintEvent);
  control_.AttachHost(this);
}

CZembrinWidget::~CZembrinWidget() {
  control_.AttachHost(nullptr);
}

void CZembrinWidget::SetTimer(HostedControl& target, int timer_id, uint32_t period_ms) {
  auto& timer = timers_[timer_id];
  if (!timer) {
    timer = std::make_unique<QTimer>(this);
    HostedControl* c = &target;
    connect(timer.get(), &QTimer::timeout, this, [c, timer_id] { c->OnTimer(timer_id); });
  }
  // The platform's time scale shrinks the period in tests as it shrinks every other wait.
  timer->start(std::max(1, static_cast<int>(period_ms * platform::TimeScale())));
}

void CZembrinWidget::KillTimers(HostedControl&) {
  timers_.clear();
}

void CZembrinWidget::Invalidate(HostedControl&, bool) {
  update();
}

void CZembrinWidget::UpdateNow(HostedControl&) {
  repaint();
}

bool CZembrinWidget::MessageBox(HostedControl&, const std::string& text) {
  QMessageBox::information(this, "talvenor", QString::fromStdString(text));
  return true;
}

void CZembrinWidget::paintEvent(QPaintEvent*) {
  ++paints_;
  QPainter painter(this);
  // The picture's own pixels, at the origin and unscaled; beyond it the widget's background.
  const QImage picture(ModuleImageBuffer(), kImageWidth, kImageHeight, 3 * kImageWidth,
                       QImage::Format_RGB888);
  if (width() > kImageWidth || height() > kImageHeight) painter.fillRect(rect(), palette().window());
  painter.drawImage(0, 0, picture);
}

void CZembrinWidget::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  menu.addAction("&Properties...", this, [this] { ShowProperties(); });
  menu.exec(event->globalPos());
}

void CZembrinWidget::ShowProperties() {
  CZembrinSDKControlPropPage page(this);
  page.exec();
}

CZembrinSDKControlPropPage::CZembrinSDKControlPropPage(QWidget* parent) : QDialog(parent) {
  setWindowTitle("General");
  setObjectName("propertyPage200");
  setFixedSize(static_cast<int>(250 * 1.5), static_cast<int>(62 * 1.625) + 40);
  auto* layout = new QVBoxLayout(this);
  auto* text = new QLabel(
      "TODO: Place controls to manipulate properties of ZembrinSDKControl Control on this dialog.", this);
  text->setWordWrap(true);
  layout->addWidget(text);
  auto* ok = new QPushButton("OK", this);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  layout->addWidget(ok, 0, Qt::AlignRight);
  setWhatsThis(QString("%1 (%2, context %3)").arg(kHelpCaption, kHelpFile).arg(kHelpContext));
}

}  // namespace control
