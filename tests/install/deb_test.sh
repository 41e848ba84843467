#!/usr/bin/env bash
# The .deb: its control data, its contents, and the installed programs working
# from a scratch root (dpkg-deb -x), as installed_test.sh checks them.
# usage: deb_test.sh DEB VERSION SAMPLE_PARAMETER_FILE
set -uo pipefail
deb=$1 version=$2 sample=$3
here=$(cd "$(dirname "$0")" && pwd)
fail=0
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = facset ] || { echo "FAIL: package name $(field Package)"; fail=1; }
[ "$(field Version)" = "$version" ] || { echo "FAIL: version $(field Version), wanted $version"; fail=1; }
depends=$(field Depends)
# Computed from the binaries: the C++ runtime and Qt's widgets must be there.
for lib in libc6 libstdc++6 libqt6core6 libqt6widgets6; do
  [[ $depends == *"$lib "* || $depends == *"$lib," || $depends == *"$lib" ]] || { echo "FAIL: Depends lacks $lib: $depends"; fail=1; }
done
echo "Depends: $depends"
maintainer=$(field Maintainer)
[[ $maintainer =~ ^[^@\<]+\ \<[^@\>]+@[a-z0-9.-]+\.[a-z]+\>$ && $maintainer != *localhost* ]] \
  || { echo "FAIL: maintainer '$maintainer' is not a name and a routable address"; fail=1; }
# The changelog's top entry is this version, signed by the maintainer.
changelog=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/facset/changelog.gz | gzip -dc)
[[ $(head -n1 <<<"$changelog") == "facset ($version) "* ]] || { echo "FAIL: changelog starts '$(head -n1 <<<"$changelog")'"; fail=1; }
grep -qF -- " -- $maintainer  " <<<"$changelog" || { echo "FAIL: changelog not signed by $maintainer"; fail=1; }
# Debian's own checker: no error and no warning (info tags are listed, and allowed).
if command -v lintian >/dev/null; then
  tags=$(lintian --fail-on error,warning --display-info "$deb" 2>&1); rc=$?
  grep -v 'running with root privileges' <<<"$tags"
  [ $rc -eq 0 ] || { echo "FAIL: lintian finds errors or warnings (exit $rc)"; fail=1; }
else
  echo "FAIL: lintian is not installed (scripts/install-deps installs it)"; fail=1
fi
echo "size: $(stat -c %s "$deb") bytes, installed $(field Installed-Size) KiB"
dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$'
root=$(mktemp -d /tmp/facset-deb-root.XXXXXX)
trap 'rm -rf "$root"' EXIT
chmod 755 "$root"
dpkg-deb -x "$deb" "$root" || exit 1
"$here/installed_test.sh" "$root" "$version" "$sample" || fail=1
exit $fail
