#ifndef QUITSIGNALS_H
#define QUITSIGNALS_H

class QWidget;

// Ctrl-C in the terminal that started the tool, a closed terminal or a
// polite kill (SIGINT, SIGHUP, SIGTERM) close the window as its close button
// does, so a stage's commands end with the tool. Unix only; elsewhere it
// does nothing.
void closeOnQuitSignals(QWidget *window);

#endif // QUITSIGNALS_H
