#include "AccountSave.h"

#include "AccountsFileLayout.h"
#include "TextConversions.h"
#include "WindowText.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

namespace AccountSave {
namespace {

enum class NumberCheck { Whole, Nil, NotWhole, TooLarge, TooSmall };

NumberCheck numberOf(const QString &text, std::string &decimal)
{
    const double value = numberAtStart(toSettingsText(text));
    if (value == 0)
        return NumberCheck::Nil;
    if (value != std::trunc(value))
        return NumberCheck::NotWhole;
    if (value > std::numeric_limits<std::int32_t>::max())
        return NumberCheck::TooLarge;
    if (value < std::numeric_limits<std::int32_t>::min())
        return NumberCheck::TooSmall;
    decimal = std::to_string(std::int32_t(value));
    return NumberCheck::Whole;
}

// The first refusal that either number earns, in this order.
std::optional<QString> numberRefusal(NumberCheck id, NumberCheck pwd)
{
    const std::pair<NumberCheck, const char *> refusals[] = {
        {NumberCheck::Nil, "Pilot ID and Password cannot be Nil"},
        {NumberCheck::NotWhole, "Pilot ID and Password must be whole numbers"},
        {NumberCheck::TooLarge, "Pilot ID and Password must be at most 2147483647"},
        {NumberCheck::TooSmall, "Pilot ID and Password must be at least -2147483648"}};
    for (const auto &[found, refusal] : refusals) {
        if (id == found || pwd == found)
            return QString::fromLatin1(refusal);
    }
    return std::nullopt;
}

} // namespace

Check check(const QString &pilotId, const QString &password, const QString &name)
{
    Check result;
    result.refusal = numberRefusal(numberOf(pilotId, result.section), numberOf(password, result.Pwd));
    if (result.refusal)
        return result;
    if (name.trimmed().isEmpty()) {
        result.refusal = QStringLiteral("Pilot Name is mandatory");
        return result;
    }
    if (name.contains(QLatin1Char('[')) || name.contains(QLatin1Char(']'))) {
        result.refusal = QStringLiteral("Pilot Name cannot contain [ or ]");
        return result;
    }
    result.Name = toSettingsText(name);
    return result;
}

bool write(INIFiles &UsersIni, const Check &account)
{
    return UsersIni.writeEntries(
        {{account.section, AccountsFileLayout::PwdKey, account.Pwd}, {account.section, AccountsFileLayout::NameKey, account.Name}});
}

} // namespace AccountSave
