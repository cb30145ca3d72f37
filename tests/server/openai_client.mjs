// Runs the OpenAI client against BASE_URL with AUDIO and NOT_AUDIO; prints what it got as JSON.
import fs from 'node:fs';
import OpenAI from 'openai';

// Debian 12's Node.js 18 has no global File; the client names this as the remedy.
if (typeof File === 'undefined') globalThis.File = (await import('node:buffer')).File;

const [baseURL, audio, notAudio] = process.argv.slice(2);
const client = new OpenAI({ baseURL, apiKey: 'any', maxRetries: 0 });
const file = () => fs.createReadStream(audio);

const out = {};
out.json = await client.audio.transcriptions.create({ file: file(), model: 'orvane' });
out.verbose = await client.audio.transcriptions.create({
  file: file(), model: 'orvane', response_format: 'verbose_json', timestamp_granularities: ['word', 'segment'],
});
out.srt = await client.audio.transcriptions.create({ file: file(), model: 'orvane', response_format: 'srt' });
out.stream_deltas = '';
const stream = await client.audio.transcriptions.create({ file: file(), model: 'orvane', stream: true });
for await (const event of stream) {
  if (event.type === 'transcript.text.delta') out.stream_deltas += event.delta;
  if (event.type === 'transcript.text.done') out.stream_done = event.text;
}
try {
  await client.audio.transcriptions.create({ file: fs.createReadStream(notAudio), model: 'orvane' });
} catch (e) {
  out.error = { class: e.constructor.name, status: e.status, code: e.code, apiError: e instanceof OpenAI.APIError };
}
console.log(JSON.stringify(out));
