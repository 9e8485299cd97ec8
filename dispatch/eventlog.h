#pragma once

#include <QString>

class AXServerCommand;

// Stored in "type_id" of "ax_log".
enum class EventType {
    SessionStarted = 1,
    SessionEnded = 2,
    ApplicationStarted = 3,
    ApplicationEnded = 4,
};

// Session and application starts and ends that a server reports for the logged-in user, written
// as rows of "ax_log" with the reporting server's id.
namespace EventLog {

QString startSession(const AXServerCommand &command);
QString endSession(const AXServerCommand &command);
QString startApplication(const AXServerCommand &command, qint64 applicationId, quint32 processId);
QString endApplication(const AXServerCommand &command, qint64 applicationId, quint32 processId);
// "Ok", or the error reply when the row could not be written.
QString insertEvent(const AXServerCommand &command, EventType type, qint64 applicationId,
                    const QString &text);

} // namespace EventLog
