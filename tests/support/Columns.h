#pragma once

#include <QtTest>

// Declares the columns of a table: types in the template, names as arguments.
template<typename... T, typename... Names>
void columns(Names... names)
{
    (QTest::addColumn<T>(names), ...);
}
