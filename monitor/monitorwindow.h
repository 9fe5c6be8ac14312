#pragma once

#include <QWidget>

#include <QVector>

class ChartView;
class MonitorSession;
class QComboBox;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QTimer;

// The monitor's window: a large readout per instrument, an alarm banner, and the strip chart
// below. It only shows what the session holds; readings arrive from the workers' threads
// and never make it wait.
class MonitorWindow : public QWidget
{
    Q_OBJECT

public:
    explicit MonitorWindow(MonitorSession &session, QWidget *parent = nullptr);


private slots:
    void on_pbSavePicture_clicked();
    void on_pbRecord_clicked();
    void on_pbStopRecording_clicked();
    void on_pbAlarms_clicked();

private:
    struct Readout
    {
        QWidget *frame = nullptr;
        QLabel *temperature = nullptr;
        QLabel *voltage = nullptr;
        QLabel *port = nullptr;
        QLabel *state = nullptr;
    };

    void addReadout(int index);
    void showReading(int index);
    void showState(int index);
    void showAlarms();
    void showRecording(bool recording, const QString &error);
    void showMessage(const QString &text, bool problem);
    void refresh();

    MonitorSession &m_session;
    QLabel *m_banner;
    QLabel *m_noInstrument;
    QHBoxLayout *m_readoutRow;
    QComboBox *m_span;
    QPushButton *m_record;
    QPushButton *m_stopRecording;
    QLabel *m_message;
    ChartView *m_chart;
    QTimer *m_refresh;
    QVector<Readout> m_readouts;
    bool m_chartStale = false;
};
