# The Morvek installation in /opt/morvek: its programs on PATH, and the agent's
# system account, whose shared objects every client trusts.
export TAVRIX_AGENT_USER=morvek
export TAVRIX_DATA_DIR=/var/lib/morvek
case ":$PATH:" in
*:/opt/morvek/bin:*) ;;
*) export PATH="/opt/morvek/bin:$PATH" ;;
esac
