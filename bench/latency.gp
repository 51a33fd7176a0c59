# Transaction time against baud rate, the driver against the wire minimum.
# gnuplot -e "data='latency.dat'; output='latency.png'" latency.gp
# Columns: baud wire_read byte_median byte_p99 compound_median block_median
#          wire_write write_median write_p99 raw_read_median raw_write_median
set terminal pngcairo size 900,900 font ",10"
set output output
set multiplot layout 2,1 title "DOVED through QorMain over a pseudo-terminal, optolink-sim paced at the line rate"

set logscale xy
set xrange [8000:70000]
set xtics ("9600" 9600, "19200" 19200, "38400" 38400, "57600" 57600)
set xlabel "baud"
set ylabel "transaction time, ms (median)"
set yrange [5:400]
set grid
set key top right
plot data using 1:8 with linespoints pt 7 lw 2 lc rgb "#c0392b" title "SingleWrite, bit gate (3 exchanges)", \
     data using 1:7 with lines dt 2 lw 2 lc rgb "#c0392b" title "wire minimum, 174 characters", \
     data using 1:3 with linespoints pt 7 lw 2 lc rgb "#2471a3" title "SingleRead, byte gate", \
     data using 1:6 with points pt 6 ps 1.5 lc rgb "#17a589" title "BlockRead, 16 groups", \
     data using 1:5 with points pt 4 ps 1.5 lc rgb "#7d3c98" title "SingleRead, compound gate", \
     data using 1:2 with lines dt 2 lw 2 lc rgb "#2471a3" title "wire minimum, 56 characters"

unset logscale y
set ylabel "over the wire minimum, ms (median)"
set yrange [0:*]
set key top left
plot data using 1:($8-$7) with linespoints pt 7 lw 2 lc rgb "#c0392b" title "SingleWrite through the driver", \
     data using 1:($11-$7) with linespoints pt 6 dt 2 lw 2 lc rgb "#c0392b" title "raw client, the three write exchanges", \
     data using 1:($3-$2) with linespoints pt 7 lw 2 lc rgb "#2471a3" title "SingleRead through the driver", \
     data using 1:($10-$2) with linespoints pt 6 dt 2 lw 2 lc rgb "#2471a3" title "raw client, one read exchange"
unset multiplot
