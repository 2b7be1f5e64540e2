// Runs RNNoise (the npm WebAssembly build installed by setup.sh) over a raw file of 32-bit
// float mono samples at 48 kHz and writes the denoised samples in the same form.
//   node rnnoise.mjs IN.f32 OUT.f32
import { readFileSync, writeFileSync } from "node:fs";
import { dirname, join } from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));
const modules = join(here, ".tools", "node", "node_modules");
const entry = pathToFileURL(join(modules, "@jitsi", "rnnoise-wasm", "dist", "rnnoise-sync.js"));
const { default: createModule } = await import(entry.href);

const [input, output] = process.argv.slice(2);
const samples = new Float32Array(readFileSync(input).buffer.slice(0));
const rnn = await createModule();
const kFrame = 480; // 10 ms at 48 kHz, RNNoise's fixed frame
const state = rnn._rnnoise_create(0);
const buffer = rnn._malloc(kFrame * 4);
const out = new Float32Array(samples.length);
// RNNoise works on 16-bit sample values held in floats; its output comes 960 samples (two
// frames) behind its input (measured on noise bursts by cross-correlation), which is taken off
// so that the result lines up with the input.
const delay = 2 * kFrame;
const frames = Math.ceil((samples.length + delay) / kFrame);
const heap = () => new Float32Array(rnn.HEAPF32.buffer, buffer, kFrame);
for (let f = 0; f < frames; ++f) {
    const frame = heap();
    for (let i = 0; i < kFrame; ++i) {
        const j = f * kFrame + i;
        frame[i] = j < samples.length ? samples[j] * 32768 : 0;
    }
    rnn._rnnoise_process_frame(state, buffer, buffer);
    const done = heap();
    for (let i = 0; i < kFrame; ++i) {
        const j = f * kFrame + i - delay;
        if (j >= 0 && j < out.length) out[j] = done[i] / 32768;
    }
}
rnn._rnnoise_destroy(state);
writeFileSync(output, Buffer.from(out.buffer));
