#include "TextConversions.h"

#include <QtTest>

class tst_Conversions : public QObject
{
    Q_OBJECT

private slots:
    void takeAsBoolean_data();
    void takeAsBoolean();
    void wholeNumber32_data();
    void wholeNumber32();
    void numberAtStart_data();
    void numberAtStart();
};

// -1: cannot be taken; 0: false; 1: true.
void tst_Conversions::takeAsBoolean_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("expected");

    QTest::newRow("zero") << QByteArray("0") << 0;
    QTest::newRow("one") << QByteArray("1") << 1;
    QTest::newRow("minus one") << QByteArray("-1") << 1;
    QTest::newRow("two") << QByteArray("2") << 1;
    QTest::newRow("zero point zero") << QByteArray("0.0") << 0;
    QTest::newRow("fraction") << QByteArray("0.5") << 1;
    QTest::newRow("leading point") << QByteArray(".5") << 1;
    QTest::newRow("minus zero") << QByteArray("-0") << 0;
    QTest::newRow("exponent") << QByteArray("1e3") << 1;
    QTest::newRow("blanks around") << QByteArray("  1 ") << 1;
    QTest::newRow("True") << QByteArray("True") << 1;
    QTest::newRow("true") << QByteArray("true") << 1;
    QTest::newRow("TRUE") << QByteArray("TRUE") << 1;
    QTest::newRow("False") << QByteArray("False") << 0;
    QTest::newRow("fAlSe") << QByteArray("fAlSe") << 0;
    QTest::newRow("empty") << QByteArray("") << -1;
    QTest::newRow("blanks only") << QByteArray("   ") << -1;
    QTest::newRow("word") << QByteArray("yes") << -1;
    QTest::newRow("number then text") << QByteArray("1x") << -1;
    QTest::newRow("two numbers") << QByteArray("1 2") << -1;
    QTest::newRow("sign only") << QByteArray("-") << -1;
    QTest::newRow("point only") << QByteArray(".") << -1;
    QTest::newRow("truthy prefix") << QByteArray("Truex") << -1;
    QTest::newRow("NUL") << QByteArray("1\0", 2) << -1;
    QTest::newRow("huge") << QByteArray(400, '9') << 1;
}

void tst_Conversions::takeAsBoolean()
{
    QFETCH(QByteArray, text);
    QFETCH(int, expected);
    const std::optional<bool> got = ::takeAsBoolean(std::string_view(text.constData(), size_t(text.size())));
    QCOMPARE(got ? int(*got) : -1, expected);
}

// INT_MIN stands for "not a whole 32-bit number".
void tst_Conversions::wholeNumber32_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("expected");

    const int none = std::numeric_limits<int>::min();
    QTest::newRow("port") << QByteArray("1500") << 1500;
    QTest::newRow("blanks") << QByteArray(" 1600 ") << 1600;
    QTest::newRow("negative") << QByteArray("-1") << -1;
    QTest::newRow("rounds down") << QByteArray("1500.4") << 1500;
    QTest::newRow("half to even") << QByteArray("2.5") << 2;
    QTest::newRow("half to even, odd") << QByteArray("3.5") << 4;
    QTest::newRow("largest") << QByteArray("2147483647") << 2147483647;
    QTest::newRow("too large") << QByteArray("2147483648") << none;
    QTest::newRow("smallest plus one") << QByteArray("-2147483647") << -2147483647;
    QTest::newRow("empty") << QByteArray("") << none;
    QTest::newRow("word") << QByteArray("abc") << none;
    QTest::newRow("trailing text") << QByteArray("15x") << none;
    QTest::newRow("huge") << QByteArray(400, '9') << none;
}

void tst_Conversions::wholeNumber32()
{
    QFETCH(QByteArray, text);
    QFETCH(int, expected);
    const auto got = ::wholeNumber32(std::string_view(text.constData(), size_t(text.size())));
    QCOMPARE(got ? *got : std::numeric_limits<int>::min(), expected);
}

void tst_Conversions::numberAtStart_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<double>("expected");

    QTest::newRow("empty") << QByteArray("") << 0.0;
    QTest::newRow("word") << QByteArray("abc") << 0.0;
    QTest::newRow("integer") << QByteArray("42") << 42.0;
    QTest::newRow("minus one") << QByteArray("-1") << -1.0;
    QTest::newRow("plus") << QByteArray("+7") << 7.0;
    QTest::newRow("leading blanks") << QByteArray("  \t12") << 12.0;
    QTest::newRow("stops at letter") << QByteArray("12abc") << 12.0;
    QTest::newRow("stops at blank") << QByteArray("1 2") << 1.0;
    QTest::newRow("decimal") << QByteArray("2.5x") << 2.5;
    QTest::newRow("leading point") << QByteArray(".5") << 0.5;
    QTest::newRow("trailing point") << QByteArray("3.") << 3.0;
    QTest::newRow("no exponent") << QByteArray("1e3") << 1.0;
    QTest::newRow("leading zeros") << QByteArray("0042") << 42.0;
    QTest::newRow("zeros") << QByteArray("000") << 0.0;
    QTest::newRow("sign without digits") << QByteArray("-x") << 0.0;
    QTest::newRow("blank after sign") << QByteArray("- 5") << 0.0;
    QTest::newRow("word True") << QByteArray("True") << 0.0;
    QTest::newRow("overlong") << QByteArray(400, '9') << std::numeric_limits<double>::max();
}

void tst_Conversions::numberAtStart()
{
    QFETCH(QByteArray, text);
    QFETCH(double, expected);
    QCOMPARE(::numberAtStart(std::string_view(text.constData(), size_t(text.size()))), expected);
}

QTEST_GUILESS_MAIN(tst_Conversions)
#include "tst_conversions.moc"
