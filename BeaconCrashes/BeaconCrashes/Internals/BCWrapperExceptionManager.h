#pragma once
// Keeps exceptions that a wrapper SDK saved while its process was failing,
// one file each in "crasheswrapperexceptions", and ties the last saved one
// to the crash report of the same process at the next launch.
#include <memory>
#include <string>
#include <vector>

class BCErrorReport;
class BCWrapperException;

class BCWrapperExceptionManager {
public:
    // Saves under "last_saved_wrapper_exception".
    static void saveWrapperException(const std::shared_ptr<BCWrapperException> &wrapperException);
    // A base name is one file name: empty names, ".", ".." and names with a
    // "/" are refused with an error line.
    static void saveWrapperException(const std::shared_ptr<BCWrapperException> &wrapperException,
                                     const std::string &baseFilename);
    // The decoded file; nullptr when there is none. A file that does not
    // decode is logged and deleted.
    static std::shared_ptr<BCWrapperException> loadWrapperExceptionWithBaseFilename(const std::string &baseFilename);
    // The exception tied to the report in this process, else the file of
    // that name.
    static std::shared_ptr<BCWrapperException> loadWrapperExceptionWithUUIDString(const std::string &uuidString);
    // Deletes the file; an exception tied in this process stays cached.
    static void deleteWrapperExceptionWithUUIDString(const std::string &uuidString);
    static void deleteWrapperExceptionWithBaseFilename(const std::string &baseFilename);
    static void deleteAllWrapperExceptions();
    // Ties the last saved exception to the report of its process id whose
    // process was running when it was saved (started no later than the
    // file's modification time and crashed no earlier, give or take a
    // second; of several, the one started last), and deletes the last-saved
    // file. One that matches no report (without a process id, or saved
    // before every process of its id started or after it crashed) is
    // deleted with a line.
    static void correlateLastSavedWrapperExceptionToReport(const std::vector<std::shared_ptr<BCErrorReport>> &reports);
};
