#ifndef PHONEDIALOG_H
#define PHONEDIALOG_H

#include <QDialog>
#include <QString>

// Shows how a phone joins a receiver that serves the web page: the page's address, its QR code
// and what to do with them.
class PhoneDialog : public QDialog
{
    Q_OBJECT

public:
    // pageUrl is the receiver's page, such as http://192.168.1.20:14214/.
    explicit PhoneDialog(const QString &pageUrl, QWidget *parent = nullptr);
};

#endif // PHONEDIALOG_H
