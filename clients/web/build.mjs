// Bundles the dashboard into dist/: one script with its packages, the page and its style. Nothing is
// fetched when the page runs; the broker's WebSockets listener (or any static server) serves dist/.
import { build } from "esbuild";
import { copyFileSync, mkdirSync } from "node:fs";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));
const out = join(here, "dist");
mkdirSync(out, { recursive: true });
await build({
  entryPoints: [join(here, "src", "main.js")],
  bundle: true,
  minify: true,
  format: "iife",
  target: ["es2020"],
  outfile: join(out, "app.js"),
  logLevel: "warning",
});
copyFileSync(join(here, "src", "index.html"), join(out, "index.html"));
copyFileSync(join(here, "src", "style.css"), join(out, "style.css"));
copyFileSync(join(here, "node_modules", "uplot", "dist", "uPlot.min.css"), join(out, "uPlot.min.css"));
console.log(`dashboard built in ${out}`);
