// Draws the program's two images: the logo (169 x 40) and the window icon (32 x 32), both PNG
// with an alpha channel. Run through scripts/draw-images.
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QString>

namespace {

// A ring with a bolt through it: the mark of the logo and the icon.
void DrawMark(QPainter& p, const QRectF& box) {
  const qreal w = box.width();
  QLinearGradient ring(box.topLeft(), box.bottomRight());
  ring.setColorAt(0, QColor(0, 170, 230));
  ring.setColorAt(1, QColor(0, 110, 170));
  p.setPen(QPen(QBrush(ring), w * 0.12));
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(box.adjusted(w * 0.08, w * 0.08, -w * 0.08, -w * 0.08));
  QPainterPath bolt;
  const qreal x = box.left(), y = box.top();
  bolt.moveTo(x + w * 0.56, y + w * 0.16);
  bolt.lineTo(x + w * 0.30, y + w * 0.55);
  bolt.lineTo(x + w * 0.49, y + w * 0.55);
  bolt.lineTo(x + w * 0.42, y + w * 0.86);
  bolt.lineTo(x + w * 0.71, y + w * 0.44);
  bolt.lineTo(x + w * 0.52, y + w * 0.44);
  bolt.closeSubpath();
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 190, 0));
  p.drawPath(bolt);
}

QImage Blank(int w, int h) {
  QImage image(w, h, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");

  QImage icon = Blank(32, 32);
  {
    QPainter p(&icon);
    p.setRenderHint(QPainter::Antialiasing);
    DrawMark(p, QRectF(0, 0, 32, 32));
  }
  icon.save(dir + "/korvaneicon.png");

  QImage logo = Blank(169, 40);
  {
    QPainter p(&logo);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    DrawMark(p, QRectF(2, 3, 34, 34));
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(22);
    font.setBold(true);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 0.5);
    p.setFont(font);
    p.setPen(QColor(0, 120, 185));
    p.drawText(QRectF(40, 0, 129, 40), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("KORVANE"));
  }
  logo.save(dir + "/korvane.png");
  return 0;
}
