#!/usr/bin/env bash
# The Debian package on this machine: "cpack -G DEB" builds it, "dpkg -i" installs it,
# its agent runs as its system account and answers a status request, its systemd
# units pass "systemd-analyze verify", and "dpkg --purge" leaves nothing of it behind.
# Needs root and dpkg; exits 77 (skipped) without them. Whatever fails, the package
# does not stay installed and the agent this test started is ended.
#   package_test.sh BUILD_DIR
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)

skip() { echo "SKIPPED: $*"; exit 77; }
command -v dpkg >/dev/null || skip "dpkg is not available"
command -v dpkg-deb >/dev/null || skip "dpkg-deb is not available"
command -v cpack >/dev/null || skip "cpack is not available"
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"

package=morvek
user=morvek
prefix=/opt/morvek
state=/var/lib/morvek
units=(/lib/systemd/system/morvek-agent.service /lib/systemd/system/morvek-helper.service)
made=(/opt/morvek /var/lib/morvek /etc/tavrix/machine.reg /etc/default/morvek-helper
      /etc/profile.d/morvek.sh "${units[@]}")

# One run at a time on this machine: the package and its account are machine-wide.
exec 9>/run/lock/morvek-package-test.lock
flock -w 600 9 || { echo "FAIL: another package test holds the lock" >&2; exit 1; }

if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok'; then
  skip "a $package package is installed already; this test does not touch it"
fi
for path in "${made[@]}"; do
  [ ! -e "$path" ] || skip "$path exists already; this test does not touch it"
done
! getent passwd "$user" >/dev/null || skip "a user $user exists already"

work=$(mktemp -d /tmp/morvek-package-test.XXXXXX)
agent_pid=
installed=false
cleanup() {
  local rc=$?
  if [ -n "$agent_pid" ] && kill -0 "$agent_pid" 2>/dev/null; then
    kill -TERM "$agent_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$agent_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$agent_pid" 2>/dev/null || true
    wait "$agent_pid" 2>/dev/null || true
  fi
  if $installed && ! dpkg --purge "$package" >/dev/null 2>&1; then
    # A purge that failed half-way: the account it made goes (there was none before this
    # test), and the purge runs again.
    echo "cleanup: dpkg --purge $package failed; removing its account and purging again" >&2
    userdel "$user" 2>/dev/null || true
    groupdel "$user" 2>/dev/null || true
    dpkg --purge "$package" >/dev/null 2>&1 || echo "cleanup: dpkg --purge $package failed again" >&2
  fi
  rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() { echo "FAIL: $*" >&2; exit 1; }

echo "== cpack -G DEB"
(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log" >&2; fail "cpack -G DEB failed"; }
debs=("$work"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made ${#debs[@]} packages"
deb=${debs[0]}
contents=$(dpkg-deb -c "$deb")
for path in ./opt/morvek/bin/morvek-agent ./opt/morvek/bin/ravelcon ./opt/morvek/bin/morvek-monitor \
            ./opt/morvek/bin/libTulClient.so ./opt/morvek/lib/morvek/VaridAdeziz \
            ./opt/morvek/lib/morvek/morvek-task ./opt/morvek/lib/morvek/libMorvekHook.so \
            ./opt/morvek/lib/morvek/masq/gcc ./opt/morvek/lib/morvek/resources/DefaultJobProfile.xml \
            ./opt/morvek/lib/morvek/resources/buildcache_service_config.json \
            ./lib/systemd/system/morvek-agent.service ./lib/systemd/system/morvek-helper.service; do
  grep -q " $path\( ->.*\)\?\$" <<<"$contents" || fail "the package lacks $path"
done

echo "== dpkg -i"
installed=true
dpkg -i "$deb" >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; fail "dpkg -i failed"; }
dpkg-query -L "$package" >"$work/files"

entry=$(getent passwd "$user") || fail "no system user $user"
uid=$(cut -d: -f3 <<<"$entry")
[ "$uid" -lt 1000 ] || fail "$user is no system account (uid $uid)"
[ "$(cut -d: -f7 <<<"$entry")" = /usr/sbin/nologin ] || fail "$user has a login shell"
[ "$(stat -c %U "$state")" = "$user" ] || fail "$state is not owned by $user"
[ "$(stat -c %a "$state/Temp")" = 1777 ] || fail "$state/Temp is not mode 1777"
[ -s "$prefix/bin/info.dat" ] || fail "no info.dat"
grep -q '"Folder"="/opt/morvek/lib/morvek"' /etc/tavrix/machine.reg || fail "machine.reg lacks Folder"

echo "== systemd-analyze verify"
if command -v systemd-analyze >/dev/null; then
  # Units are verified, not started: this machine's init is no systemd.
  systemd-analyze verify "${units[@]}" >"$work/verify.log" 2>&1 ||
    { cat "$work/verify.log" >&2; fail "systemd-analyze verify failed"; }
  [ ! -s "$work/verify.log" ] || { cat "$work/verify.log" >&2; fail "systemd-analyze verify warned"; }
else
  fail "systemd-analyze is not available (scripts/setup.sh installs systemd)"
fi

echo "== the installed agent as $user"
# The service's environment, as the unit sets it.
mapfile -t environment < <(sed -n 's/^Environment=//p' /lib/systemd/system/morvek-agent.service)
grep -qx "User=$user" /lib/systemd/system/morvek-agent.service || fail "the unit does not run as $user"
setpriv --reuid="$user" --regid="$user" --init-groups \
  env -i PATH=/usr/bin:/bin "${environment[@]}" "$prefix/bin/morvek-agent" \
  >"$work/agent.out" 2>"$work/agent.err" &
agent_pid=$!
for _ in $(seq 100); do
  grep -q 'serving' "$work/agent.out" 2>/dev/null && break
  kill -0 "$agent_pid" 2>/dev/null || break
  sleep 0.1
done
grep -q 'serving' "$work/agent.out" || { cat "$work/agent.err" >&2; fail "the agent did not start"; }
[ "$(awk '/^Uid:/ {print $2}' "/proc/$agent_pid/status")" = "$uid" ] || fail "the agent does not run as $user"
# A client trusts the agent's account as the package's profile tells it. The client
# runs as the agent's account: the agent answers on the client's reply channel, in a
# session folder only the client's own account may open.
client=${MORVEK_STATUS_CLIENT:-$user}
status=$(setpriv --reuid="$client" --regid="$client" --init-groups env -i PATH=/usr/bin:/bin \
  timeout 120 bash -c ". /etc/profile.d/morvek.sh; ravelcon /QUERYAGENTSTATUS /nologo" 2>&1) ||
  { echo "$status" >&2; fail "the status request failed"; }
grep -q 'Agent Services Status: OK' <<<"$status" || { echo "$status" >&2; fail "the agent did not answer"; }
kill -TERM "$agent_pid"
wait "$agent_pid" || fail "the agent ended with $?"
agent_pid=
[ -s "$state/Logs/morvek-agent.log" ] || fail "the agent wrote no log in $state/Logs"

echo "== dpkg --purge"
dpkg --purge "$package" >"$work/purge.log" 2>&1 || { cat "$work/purge.log" >&2; fail "dpkg --purge failed"; }
installed=false
! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'installed' || fail "$package is still known"
left=()
while read -r path; do
  case "$path" in /. | /etc | /etc/default | /etc/profile.d | /lib | /lib/systemd | /lib/systemd/system | /opt) continue ;; esac
  if [ -e "$path" ] || [ -L "$path" ]; then left+=("$path"); fi
done <"$work/files"
for path in "${made[@]}" /etc/tavrix /dev/shm/tavrix; do
  if [ -e "$path" ] || [ -L "$path" ]; then left+=("$path"); fi
done
[ ${#left[@]} -eq 0 ] || fail "left behind: ${left[*]}"
! getent passwd "$user" >/dev/null || fail "the user $user is left"
! getent group "$user" >/dev/null || fail "the group $user is left"
echo "PASS"
