#include "ConfigFiles.h"

#include "AccountsFileLayout.h"

namespace ConfigFiles {

std::string settingsFilePath(const std::string &directory, const std::string &fileName)
{
    if (!directory.empty() && directory.back() == '/')
        return directory + fileName;
    return directory + "/" + fileName;
}

void bindSettingsFiles(Context &context, const std::string &settingsDirectory)
{
    context.UsersIni.FileName(settingsFilePath(settingsDirectory, AccountsFileLayout::FileName));
    context.UsersIni.setNewFileMode(AccountsFileLayout::NewFileMode);
    context.ServerIni.FileName(settingsFilePath(settingsDirectory, "VentoroServer.ini"));
}

} // namespace ConfigFiles
