#pragma once

#include <QString>

// One figure request: an account code for one month (or for several months
// of one year, up to it), narrowed by up to four filters. Each filter changes its flag and its code together; setting a
// code, even the empty text, turns the filter on.
class TAccount
{
public:
    void SetPeriod(int year, int month) { SetPeriodSpan(year, month, month); }
    // The months firstMonth to month of the year.
    void SetPeriodSpan(int year, int firstMonth, int month)
    {
        FPeriodYear = year;
        FPeriodFirstMonth = firstMonth;
        FPeriodMonth = month;
    }
    int GetPeriodYear() const { return FPeriodYear; }
    int GetPeriodMonth() const { return FPeriodMonth; }
    int GetPeriodFirstMonth() const { return FPeriodFirstMonth; }

    void SetAccountCode(const QString &code) { FAccountCode = code; }
    QString GetAccountCode() const { return FAccountCode; }

    void SetLevelCode(const QString &code) { FUseLevel = true; FLevelCode = code; }
    void SetAgencyCode(const QString &code) { FUseAgency = true; FAgencyCode = code; }
    void SetUserCode(const QString &code) { FUseUser = true; FUserCode = code; }
    void SetSupplierCode(const QString &code) { FUseSupplier = true; FSupplierCode = code; }

    void ClearLevelCode() { FUseLevel = false; FLevelCode.clear(); }
    void ClearAgencyCode() { FUseAgency = false; FAgencyCode.clear(); }
    void ClearUserCode() { FUseUser = false; FUserCode.clear(); }
    void ClearSupplierCode() { FUseSupplier = false; FSupplierCode.clear(); }

    QString GetLevelCode() const { return FLevelCode; }
    QString GetAgencyCode() const { return FAgencyCode; }
    QString GetUserCode() const { return FUserCode; }
    QString GetSupplierCode() const { return FSupplierCode; }

    bool UsesLevel() const { return FUseLevel; }
    bool UsesAgency() const { return FUseAgency; }
    bool UsesUser() const { return FUseUser; }
    bool UsesSupplier() const { return FUseSupplier; }

private:
    bool FUseLevel = false;
    bool FUseAgency = false;
    bool FUseUser = false;
    bool FUseSupplier = false;
    int FPeriodYear = 0;
    int FPeriodMonth = 0;
    int FPeriodFirstMonth = 0;
    QString FLevelCode;
    QString FAgencyCode;
    QString FUserCode;
    QString FSupplierCode;
    QString FAccountCode;
};
