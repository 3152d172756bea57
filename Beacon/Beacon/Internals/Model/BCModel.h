#pragma once
// A model object that can tell whether it holds everything it must.

class BCModel {
public:
    virtual ~BCModel() = default;
    // Logs the first missing field at the verbose level and answers false.
    virtual bool isValid() const = 0;
};
