# Latency distributions of the HAC channel against the floor of its
# transport and, for the query and the notification, against its peers
# (D-Bus, a Unix socket carrying the same texts), one panel per figure.
# Called by bench/run with dir (the folder of LABEL_SERIES.dat files:
# microseconds, cumulative fraction) and out.
set terminal pngcairo size 1600,1350 font "sans,10"
set output out
set multiplot layout 3,3 title "HAC channel (red) against the bare queue floor (blue), D-Bus (green) and a Unix socket with the same texts (purple): cumulative distribution of latency"
set logscale x
set xlabel "microseconds (log)"
set ylabel "fraction of messages"
set yrange [0:1.02]
set grid xtics mxtics ytics
set key bottom right
hac = "lw 2 lc rgb '#c0392b'"
flr = "lw 2 lc rgb '#2471a3'"
bus = "lw 2 lc rgb '#1e8449'"
sock = "lw 2 lc rgb '#7d3c98'"

set title "1: GetVersion round trip vs ping-pong, D-Bus call, socket"
plot dir."/normal_query_hac.dat" w l @hac t "HAC", dir."/normal_query_floor.dat" w l @flr t "floor", \
     dir."/normal_query_dbus.dat" w l @bus t "D-Bus", dir."/normal_query_socket.dat" w l @sock t "socket"
set title "2a: StopApp until member vs one-way"
plot dir."/normal_stopapp_hac.dat" w l @hac t "HAC", dir."/normal_oneway_floor.dat" w l @flr t "floor"
set title "2b: SendKey+StopApp vs two one-way"
plot dir."/normal_sendkey_hac.dat" w l @hac t "HAC", dir."/normal_twoway_floor.dat" w l @flr t "floor"
set title "3: SendAppState until callback vs one-way, D-Bus signal, socket"
plot dir."/normal_appstate_hac.dat" w l @hac t "HAC", dir."/normal_notify_floor.dat" w l @flr t "floor", \
     dir."/normal_appstate_dbus.dat" w l @bus t "D-Bus", dir."/normal_appstate_socket.dat" w l @sock t "socket"
set title "4: SendAitAppInfo (12 records) vs 16 fragments"
plot dir."/normal_appinfo_hac.dat" w l @hac t "HAC", dir."/normal_large_floor.dat" w l @flr t "floor"
set title "5: GetVersion, all on CPU 0"
plot dir."/pinned_query_hac.dat" w l @hac t "HAC", dir."/pinned_query_floor.dat" w l @flr t "floor", \
     dir."/pinned_query_dbus.dat" w l @bus t "D-Bus", dir."/pinned_query_socket.dat" w l @sock t "socket"
set title "5: StopApp until member, both processes on CPU 0"
plot dir."/pinned_stopapp_hac.dat" w l @hac t "HAC", dir."/pinned_oneway_floor.dat" w l @flr t "floor"
set title "5: SendAppState until callback, all on CPU 0"
plot dir."/pinned_appstate_hac.dat" w l @hac t "HAC", dir."/pinned_notify_floor.dat" w l @flr t "floor", \
     dir."/pinned_appstate_dbus.dat" w l @bus t "D-Bus", dir."/pinned_appstate_socket.dat" w l @sock t "socket"
set title "5: SendAitAppInfo, both processes on CPU 0"
plot dir."/pinned_appinfo_hac.dat" w l @hac t "HAC", dir."/pinned_large_floor.dat" w l @flr t "floor"
unset multiplot
