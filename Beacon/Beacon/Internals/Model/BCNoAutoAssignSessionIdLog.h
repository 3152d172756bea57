#pragma once
// Marks a log that keeps the session id it was given: the session tracker
// does not stamp the current session on it (a crash log belongs to the
// session of the run that crashed).
class BCNoAutoAssignSessionIdLog {
public:
    virtual ~BCNoAutoAssignSessionIdLog() = default;
};
