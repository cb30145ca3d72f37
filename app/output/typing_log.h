// The log of the typing side: which way a dictation's words take, and why. `orvane-app -v` shows it.
#ifndef ORVANE_APP_TYPING_LOG_H
#define ORVANE_APP_TYPING_LOG_H

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcTyping)

#endif
