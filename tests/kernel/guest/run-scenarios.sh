# Entry script of the kernel tier's guest: runs every scenario of the data directory in name
# order and ends with a marker that tells the host the run completed.
. /kt/scenario-lib.sh
count=0
for file in "$KT_DATA"/*.sh; do
    [ -e "$file" ] || continue
    run_scenario "$(basename "$file" .sh)" "$file"
    count=$((count + 1))
done
echo "@@kt end $count"
