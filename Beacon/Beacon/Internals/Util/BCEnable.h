#pragma once
// An object that can be switched on and off, optionally deleting its data
// when switched off.
class BCEnable {
public:
    virtual ~BCEnable() = default;
    virtual void setEnabled(bool isEnabled, bool deleteDataOnDisabled) = 0;
};
