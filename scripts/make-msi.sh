#!/usr/bin/env bash
# Builds the Windows installer from a folder holding scalepoll.exe,
# scalepoll-console.exe, README.md and LICENSE.txt:
#
#   scripts/make-msi.sh FOLDER VERSION OUTPUT.msi
#
# wixl (msitools) compiles packaging/msi/scalepoll.wxs; wixl has no element
# for environment variables, so msibuild then adds the PATH entry as the
# Windows Installer keeps it: set at install, taken out again at uninstall.
# The manufacturer is the maintainer of debian/changelog.
# The same files and version give the same MSI, byte for byte: the product
# code is derived from the version, the package code from the version and the
# files, and both tools run with the clock stopped at SOURCE_DATE_EPOCH (the
# changelog's date unless set), which they write as the database's dates.
# Called by
# scripts/package.sh with the project's version, and by
# scripts/test-windows-packages.sh with a later one to try an upgrade.
set -euo pipefail
folder=$1 version=$2 output=$(realpath -m "$3")
root=$(realpath "$(dirname "$0")/..")

maintainer=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Maintainer)
manufacturer=${maintainer% <*}
: "${SOURCE_DATE_EPOCH:=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Timestamp)}"
at_release() { TZ=UTC FAKETIME_FMT=%s faketime -f "$SOURCE_DATE_EPOCH" "$@"; }
# A GUID made of the first 128 bits of the SHA-256 of what is given.
guid_of() { sha256sum | tr a-f A-F | sed -E 's/^(.{8})(.{4})(.{4})(.{4})(.{12}).*/\1-\2-\3-\4-\5/'; }
product_code=$(printf 'scalepoll product %s' "$version" | guid_of)
package_code=$( (printf 'scalepoll package %s\n' "$version"
                 cd "$folder" && sha256sum scalepoll.exe scalepoll-console.exe README.md LICENSE.txt) | guid_of)

# wixl finds the files by paths relative to where it runs. It makes up a
# package code of its own; msibuild -s puts in the one above, with the
# summary's subject, author and platform as wixl wrote them.
(cd "$folder" && at_release wixl -a x64 -D "Version=$version" -D "Manufacturer=$manufacturer" \
   -D "ProductCode=$product_code" -D SourceDir=. -o "$output" "$root/packaging/msi/scalepoll.wxs")
at_release msibuild "$output" -s "scalepoll $version: reads weighing stations on a serial line" "$manufacturer" \
  "x64;1033" "{$package_code}"

# The system PATH ('*') with the install folder in front (';[~]'), set at
# install ('=') and taken out at uninstall ('-'), with the standard actions in
# their usual places. In front rather than at the end: Wine's installer takes
# an entry out of the end but leaves its ';', and Wine's command prompt stops
# searching the PATH at the empty entry that leaves; from the front both
# Windows and Wine take it out whole.
at_release msibuild "$output" \
  -q 'CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL LOCALIZABLE,
      `Value` CHAR(255) LOCALIZABLE, `Component_` CHAR(72) NOT NULL PRIMARY KEY `Environment`)' \
  -q "INSERT INTO \`Environment\` (\`Environment\`, \`Name\`, \`Value\`, \`Component_\`)
      VALUES ('InstallFolderOnPath', '=-*PATH', '[INSTALLDIR];[~]', 'Scalepoll')" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('RemoveEnvironmentStrings', 3300)" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('WriteEnvironmentStrings', 5200)"
