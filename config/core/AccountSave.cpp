#include "AccountSave.h"

#include "AccountsFileLayout.h"
#include "TextConversions.h"
#include "WindowText.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace AccountSave {
namespace {

enum class NumberCheck { Whole, Nil, NotWhole };

NumberCheck numberOf(const QString &text, std::string &decimal)
{
    const double value = numberAtStart(toSettingsText(text));
    if (value == 0)
        return NumberCheck::Nil;
    if (value != std::trunc(value) || value < std::numeric_limits<std::int32_t>::min()
        || value > std::numeric_limits<std::int32_t>::max())
        return NumberCheck::NotWhole;
    decimal = std::to_string(std::int32_t(value));
    return NumberCheck::Whole;
}

} // namespace

Check check(const QString &pilotId, const QString &password, const QString &name)
{
    Check result;
    const NumberCheck id = numberOf(pilotId, result.section);
    const NumberCheck pwd = numberOf(password, result.Pwd);
    if (id == NumberCheck::Nil || pwd == NumberCheck::Nil) {
        result.refusal = QStringLiteral("Pilot ID and Password cannot be Nil");
        return result;
    }
    if (id == NumberCheck::NotWhole || pwd == NumberCheck::NotWhole) {
        result.refusal = QStringLiteral("Pilot ID and Password must be whole numbers");
        return result;
    }
    if (name.trimmed().isEmpty()) {
        result.refusal = QStringLiteral("Pilot Name is mandatory");
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
