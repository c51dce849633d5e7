// expect_property_rows: writes published properties of one object in order and
// checks what each reads back, so a table of clamps and refusals takes a line a
// row and also proves each property is published under its name.
// Thread: the test's.
#pragma once

#include <gtest/gtest.h>

#include <QObject>
#include <QVariant>

#include <initializer_list>

namespace pelu::test {

struct PropertyRow {
    const char* name;
    QVariant written;
    QVariant read;
};

inline void expect_property_rows(QObject& object, std::initializer_list<PropertyRow> rows)
{
    for (const PropertyRow& row : rows) {
        EXPECT_TRUE(object.setProperty(row.name, row.written)) << row.name << " is not published";
        EXPECT_EQ(object.property(row.name), row.read) << row.name << " = " << row.written.toString().toStdString();
    }
}

} // namespace pelu::test
