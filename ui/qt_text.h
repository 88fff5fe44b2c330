// Conversions between the gateway's narrow texts (system code page) and Qt's strings.
//
// The gateway's texts (log lines, string resources, tooltips) are narrow strings in the system
// code page; Qt wants UTF-16. These helpers go through the platform's code-page layer so that a
// GBK locale shows the same characters as a UTF-8 one.
// Error rule: never throws; unconvertible bytes become replacement characters.
// Thread rule: any thread. Ownership: values returned.
#pragma once

#include <QString>

#include <string>

// A narrow text in the system code page as a Qt string.
QString FromSystemText(const std::string& text);
// A Qt string as a narrow text in the system code page.
std::string ToSystemText(const QString& text);
// A string resource as a Qt string (empty when the table has no such string).
QString ResourceText(int id);
