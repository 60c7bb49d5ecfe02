// Nothing to do: the page is static. The benchmark adds its own paint probe.
'use strict';
