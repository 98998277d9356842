<?php
header('Content-Type: text/csv; charset=utf-8');
header('Content-Disposition: attachment; filename="vantrel-report.csv"');
echo "item,value\n";
echo "generated," . gmdate('Y-m-d H:i:s') . " UTC\n";
echo "php," . PHP_VERSION . "\n";
