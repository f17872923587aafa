# Sourced by the scripts that run under load: starts two busy processes, one
# per core of the build machine, and stops them when the script exits.
#
#   source scripts/cpu-burners.sh
# sets: burners (their pids)

burners=()
stop_burners() { for pid in "${burners[@]}"; do kill "$pid" 2>/dev/null || true; done; }
trap stop_burners EXIT
for _ in 1 2; do
  sh -c 'while :; do :; done' &
  burners+=($!)
done
