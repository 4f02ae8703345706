# Sourced by the scripts that run builds: installs a private prefix ($prefix) with
# scripts/stage.sh, points the environment at it and starts its agent, which is
# stopped (and the prefix's shared objects removed) when the script exits.
# Sets $ravelcon and $agent.
BUILD_DIR="$BUILD_DIR" scripts/stage.sh "$prefix" >/dev/null || exit 1
# shellcheck source=/dev/null
. "$prefix/env.sh"
# AGENT_SETTINGS: more registry lines for the agent's key (e.g. its helpers).
if [ -n "${AGENT_SETTINGS:-}" ]; then
  printf '\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Morvek\\Agent]\n%s\n' "$AGENT_SETTINGS" >>"$TAVRIX_REGISTRY_DIR/machine.reg"
fi
ravelcon="$prefix/bin/ravelcon"
"$prefix/bin/morvek-agent" >/dev/null &
agent=$!
trap 'kill -TERM $agent 2>/dev/null; wait $agent 2>/dev/null; rm -rf "$TAVRIX_OBJECTS_DIR"' EXIT
# The agent is up once its status query answers.
for _ in $(seq 100); do
  "$ravelcon" /QUERYAGENTSTATUS /nologo | grep "Status: OK" >/dev/null && break
  sleep 0.05
done
